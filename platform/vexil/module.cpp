/* SPDX-License-Identifier: ISC */
/*
 * module.cpp: the modules that fill the namespaces: finding
 * NAME-module.so on the module path, binding its entry points, and
 * running each init and deinit.
 */
#include <sys/stat.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "host.h"

struct Module {
	std::string name;
	void *handle;
	int (*init)(char *);
	void (*deinit)(void);
	unsigned inits; /* initialisations not yet matched by a deinit */
};

static std::vector<Module> modules;
static std::vector<std::string> module_path;

/* A colon-separated list of directories, searched in the order added. */
void
add_module_path(const char *list)
{
	std::string s(list);
	size_t start = 0, colon;

	do {
		colon = s.find(':', start);
		std::string dir = s.substr(start, colon - start);
		if (!dir.empty())
			module_path.push_back(dir);
		start = colon + 1;
	} while (colon != std::string::npos);
}

static Module *
find_module(const std::string &name)
{
	for (auto &m : modules)
		if (m.name == name)
			return &m;
	return nullptr;
}

static void *
module_symbol(void *handle, const char *fmt, const char *name)
{
	char sym[256];

	(void)snprintf(sym, sizeof sym, fmt, name);
	return dlsym(handle, sym);
}

/*
 * Whether a module candidate is worth handing to dlopen: 1 yes, 0 there is
 * none, -1 it is unusable and WHY says so.  A directory, an empty file or a
 * FIFO would only fail, or block, in dlopen and hide a good module further
 * along the path.
 */
static int
usable_candidate(const std::string &path, std::string &why)
{
	struct stat st;
	int fd;

	if (stat(path.c_str(), &st) == -1) {
		if (errno == ENOENT || errno == ENOTDIR)
			return 0;
		why = strerror(errno);
		return -1;
	}
	if (!S_ISREG(st.st_mode)) {
		why = "not a regular file";
		return -1;
	}
	if (st.st_size == 0) {
		why = "empty";
		return -1;
	}
	/* Non-blocking, in case it became a FIFO since the stat. */
	if ((fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) == -1) {
		why = strerror(errno);
		return -1;
	}
	(void)close(fd);
	return 1;
}

/* The first usable NAME-module.so on the path; what was skipped is told only if none is. */
static std::string
find_candidate(const char *name)
{
	std::vector<std::string> skipped;
	std::string path, why;

	for (auto &dir : module_path) {
		path = dir + "/" + name + "-module.so";
		switch (usable_candidate(path, why)) {
		case 1:
			return path;
		case -1:
			skipped.push_back(path + ": skipped, " + why);
			break;
		}
	}
	for (auto &s : skipped)
		warn("%s: %s", name, s.c_str());
	warn("%s: %s-module.so not found on the module path", name, name);
	return std::string();
}

/* Load NAME-module.so once, bind its entry points and check its version. */
static Module *
open_module(const char *name)
{
	Module *m;
	std::string path;
	void *handle = nullptr;
	int *version;
	int (*init)(char *);
	void (*deinit)(void);

	if ((m = find_module(name)) != nullptr)
		return m;
	/* The name becomes a file name and symbol names: no slashes, no dots. */
	if (!valid_name(name) || strlen(name) > 64) {
		warn("%s: not a module name", name);
		return nullptr;
	}
	if ((path = find_candidate(name)).empty())
		return nullptr;
	if ((handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) == nullptr) {
		warn("%s: %s", name, dlerror());
		return nullptr;
	}
	version = (int *)module_symbol(handle, "VXmodule_%s_api_version", name);
	init = (int (*)(char *))module_symbol(handle, "init_%s_module_ns", name);
	deinit = (void (*)(void))module_symbol(handle, "deinit_%s_module", name);
	if (version == nullptr || init == nullptr || deinit == nullptr) {
		warn("%s: %s does not export the module entry points", name, path.c_str());
		(void)dlclose(handle);
		return nullptr;
	}
	if (*version != VEXIL_API_VERSION) {
		warn("%s: module API version %d, this host supports %d", name, *version,
		    VEXIL_API_VERSION);
		(void)dlclose(handle);
		return nullptr;
	}
	modules.push_back(Module{name, handle, init, deinit, 0});
	return &modules.back();
}

/* Open a module if need be and initialise it in a namespace: 0 or -1. */
int
load_module(const char *name, const char *ns_name)
{
	std::string ns(ns_name);
	Module *m;
	int r;

	if ((m = open_module(name)) == nullptr)
		return -1;
	r = m->init(&ns[0]);
	m->inits++; /* even a failed init may have taken something */
	check_memory();
	if (r == -1) {
		warn("%s: initialisation in namespace %s failed", name, ns_name);
		return -1;
	}
	return 0;
}

/*
 * Each init has its deinit: a module that takes state per namespace gives
 * one back per call.  One more than there were inits would free twice.
 */
int
deinit_module(const std::string &name)
{
	Module *m;

	if ((m = find_module(name)) == nullptr || m->inits == 0)
		return -1;
	m->inits--;
	m->deinit();
	check_memory();
	return 0;
}

/* At exit: the deinits still due, then the namespaces. */
void
unload_all(void)
{
	for (auto &m : modules)
		while (m.inits > 0) {
			m.inits--;
			m.deinit();
		}
	drop_namespaces();
}
