/* SPDX-License-Identifier: ISC */
/*
 * module.cpp: names and the namespaces that hold them, and the modules
 * that fill those namespaces: finding NAME-module.so on the module path,
 * binding its entry points, and running each init and deinit.  The
 * namespace operations of vexil.h are defined here.
 *
 * Test hooks, read from the environment, make a module's failure paths
 * reachable:
 *   VEXIL_TEST_FAIL_NAMESPACE=NS   VXns_create_namespace fails for NS
 *   VEXIL_TEST_FAIL_INTRINSICS=NS  VXns_add_intrin_fun_table fails for NS
 *   VEXIL_TEST_FAIL_ICONSTANTS=NS  VXns_add_iconstant_table fails for NS
 */
#include <sys/stat.h>

#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <new>

#include "host.h"

struct _Vexil_NameSpace_Type {
	std::string name;
	std::map<std::string, const Vexil_Intrin_Fun_Type *> funs;
	std::map<std::string, int> consts;
};

struct Module {
	std::string name;
	void *handle;
	int (*init)(char *);
	void (*deinit)(void);
	unsigned inits; /* initialisations not yet matched by a deinit */
};

static std::map<std::string, Vexil_NameSpace_Type *> namespaces;
static std::vector<std::string> features;
static std::vector<Module> modules;
static std::vector<std::string> module_path;
static bool memory_exhausted; /* an operation a module called ran out */

/* ---- names and namespaces ---- */

int
valid_name(const char *s)
{
	if (*s == '\0' || !(isalpha((unsigned char)*s) || *s == '_'))
		return 0;
	for (; *s != '\0'; s++)
		if (!(isalnum((unsigned char)*s) || *s == '_'))
			return 0;
	return 1;
}

/* The namespace is what comes before the first dot. */
QualifiedName
split_name(const std::string &text)
{
	size_t dot = text.find('.');

	if (dot == std::string::npos)
		return QualifiedName{GLOBAL_NAMESPACE, text, false};
	return QualifiedName{text.substr(0, dot), text.substr(dot + 1), true};
}

static Vexil_NameSpace_Type *
find_namespace(const std::string &name)
{
	auto it = namespaces.find(name);

	return it == namespaces.end() ? nullptr : it->second;
}

const Vexil_Intrin_Fun_Type *
find_intrinsic(const QualifiedName &q)
{
	Vexil_NameSpace_Type *ns = find_namespace(q.ns);

	if (ns == nullptr)
		return nullptr;
	auto it = ns->funs.find(q.name);
	return it == ns->funs.end() ? nullptr : it->second;
}

bool
find_iconstant(const QualifiedName &q, int *value)
{
	Vexil_NameSpace_Type *ns = find_namespace(q.ns);

	if (ns == nullptr)
		return false;
	auto it = ns->consts.find(q.name);
	if (it == ns->consts.end())
		return false;
	*value = it->second;
	return true;
}

bool
has_feature(const std::string &feature)
{
	for (auto &f : features)
		if (f == feature)
			return true;
	return false;
}

static void
record_feature(const char *feature)
{
	if (feature != nullptr && !has_feature(feature))
		features.push_back(feature);
}

Vexil_NameSpace_Type *
create_namespace(const char *name)
{
	Vexil_NameSpace_Type *ns;

	if ((ns = find_namespace(name)) == nullptr) {
		ns = new Vexil_NameSpace_Type{name, {}, {}};
		namespaces[name] = ns;
	}
	return ns;
}

/* A table is checked whole before any row is added. */
static int
add_intrinsics(Vexil_NameSpace_Type *ns, const Vexil_Intrin_Fun_Type *table, const char *feature)
{
	const Vexil_Intrin_Fun_Type *row;

	for (row = table; row->name != nullptr; row++) {
		if (!valid_name(row->name) || row->name_type != VX_INTRINSIC_CLASS ||
		    row->i_fun == nullptr || row->num_args > VX_MAX_INTRIN_ARGS ||
		    row->return_type != VX_INT_TYPE)
			return -1;
		for (unsigned k = 0; k < row->num_args; k++)
			if (row->arg_types[k] != VX_INT_TYPE)
				return -1;
	}
	for (row = table; row->name != nullptr; row++)
		ns->funs[row->name] = row;
	record_feature(feature);
	return 0;
}

int
add_iconstants(Vexil_NameSpace_Type *ns, const Vexil_IConstant_Type *table, const char *feature)
{
	const Vexil_IConstant_Type *row;

	for (row = table; row->name != nullptr; row++)
		if (!valid_name(row->name) || row->name_type != VX_ICONSTANT_CLASS ||
		    row->data_type != VX_INT_TYPE)
			return -1;
	for (row = table; row->name != nullptr; row++)
		ns->consts[row->name] = row->value;
	record_feature(feature);
	return 0;
}

/* ---- the namespace operations, exported to modules ---- */

static int
test_hook(const char *var, const char *ns)
{
	const char *v = getenv(var);

	return v != nullptr && ns != nullptr && strcmp(v, ns) == 0;
}

/*
 * No exception may unwind through a module's frames: an operation that runs
 * out of memory fails to the module, and the host reports it once the
 * module has returned.
 */
void
check_memory(void)
{
	if (memory_exhausted)
		throw std::bad_alloc();
}

extern "C" Vexil_NameSpace_Type *
VXns_create_namespace(const char *name)
{
	if (name == nullptr || !valid_name(name) ||
	    test_hook("VEXIL_TEST_FAIL_NAMESPACE", name))
		return nullptr;
	try {
		return create_namespace(name);
	} catch (const std::bad_alloc &) {
		memory_exhausted = true;
		return nullptr;
	}
}

extern "C" int
VXns_add_intrin_fun_table(Vexil_NameSpace_Type *ns, const Vexil_Intrin_Fun_Type *table,
    const char *feature)
{
	if (ns == nullptr || table == nullptr ||
	    test_hook("VEXIL_TEST_FAIL_INTRINSICS", ns->name.c_str()))
		return -1;
	try {
		return add_intrinsics(ns, table, feature);
	} catch (const std::bad_alloc &) {
		memory_exhausted = true;
		return -1;
	}
}

extern "C" int
VXns_add_iconstant_table(Vexil_NameSpace_Type *ns, const Vexil_IConstant_Type *table,
    const char *feature)
{
	if (ns == nullptr || table == nullptr ||
	    test_hook("VEXIL_TEST_FAIL_ICONSTANTS", ns->name.c_str()))
		return -1;
	try {
		return add_iconstants(ns, table, feature);
	} catch (const std::bad_alloc &) {
		memory_exhausted = true;
		return -1;
	}
}

/* ---- modules ---- */

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
	for (auto &kv : namespaces)
		delete kv.second;
	namespaces.clear();
}
