/* SPDX-License-Identifier: ISC */
/*
 * The cache key: everything that the answer depends on, written out whole,
 * so that a cache entry answers only a run that would have learned the same.
 * What cannot be known here (a response file that cannot be read) leaves the
 * answer unkeyed, and so not kept.
 */

#include <sys/stat.h>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "ccfacts.h"

extern char **environ;

namespace {

/*
 * Variables that change what gcc, clang, their assemblers and linkers do,
 * as their manuals list them, and whole families by prefix (the drivers'
 * GCC_, COLLECT_, CCC_ and CLANG_, the dynamic linker's and the linkers'
 * LD_ and LLD_), since each release adds some: all part of the cache key.
 */
const char *const compiler_environment[] = {
	"PATH", "LANG", "LC_ALL", "LC_CTYPE", "LC_MESSAGES", "TMPDIR", "COMPILER_PATH",
	"LIBRARY_PATH", "CPATH", "C_INCLUDE_PATH", "CPLUS_INCLUDE_PATH", "OBJC_INCLUDE_PATH",
	"OBJCPLUS_INCLUDE_PATH", "DEPENDENCIES_OUTPUT", "SUNPRO_DEPENDENCIES",
	"SOURCE_DATE_EPOCH", "SDKROOT", "GNUTARGET", "LDEMULATION", "ZERO_AR_DATE",
};
const char *const compiler_environment_prefixes[] = {
	"GCC_", "COLLECT_", "CCC_", "CC_", "CLANG_", "LD_", "LLD_",
};

/* Of those, the lists of directories, where an empty or relative entry is the current one. */
const char *const path_list_environment[] = {
	"PATH", "GCC_EXEC_PREFIX", "COMPILER_PATH", "LIBRARY_PATH", "CPATH", "C_INCLUDE_PATH",
	"CPLUS_INCLUDE_PATH", "OBJC_INCLUDE_PATH", "OBJCPLUS_INCLUDE_PATH", "LD_LIBRARY_PATH",
};

/*
 * Options whose value, attached or after '=', names a file or a directory
 * as the drivers take it; a relative one is relative to the current
 * directory.
 */
const char *const path_options[] = {
	"-I", "-L", "-B", "-F", "-T", "-iquote", "-isystem", "-idirafter", "-isysroot",
	"-iprefix", "-iwithprefix", "-iwithprefixbefore", "-imacros", "-include", "-imultilib",
	"--sysroot=", "-specs=", "--specs=", "--config=", "-fplugin=", "-fprofile-use=",
	"-fprofile-dir=", "-fprofile-generate=", "-fsanitize-blacklist=",
	"-fsanitize-ignorelist=", "--gcc-toolchain=", "--ld-path=", "-resource-dir=",
	"-fmodule-map-file=", "-fprebuilt-module-path=",
};
constexpr int response_file_depth = 8;	/* nested @file, as deep as the key follows */

} // namespace

/*
 * FNV-1a, 64 bits: names the cache entries and checks that an entry is
 * whole.  It guards against accidents, not against someone who may write
 * the cache directory, who could as well write a plausible entry.
 */
uint64_t
fnv1a(const std::string &s, uint64_t h)
{
	for (unsigned char c : s) {
		h ^= c;
		h *= 0x100000001b3ULL;
	}
	return h;
}

std::string
hex(uint64_t h)
{
	char buf[17];

	(void)snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(h));
	return buf;
}

namespace {

/* One line of the key; every string is counted, so no two keys read alike. */
void
key_line(std::string &key, const char *name, const std::vector<std::string> &values)
{
	key += name;
	for (const auto &v : values)
		key += " " + std::to_string(v.size()) + ":" + v;
	key += "\n";
}

/*
 * A file as the key knows it: an upgrade or a reinstall replaces or
 * rewrites it, which changes its inode, size or times.  Links are followed
 * to the file itself, and its real path is named, so that switching what a
 * link points to changes the key too.
 */
std::string
file_identity(const std::string &path)
{
	struct stat st;
	char real[PATH_MAX];

	if (path.empty() || stat(path.c_str(), &st) == -1 ||
	    realpath(path.c_str(), real) == nullptr)
		return "missing";
	char buf[160];
	(void)snprintf(buf, sizeof(buf), " dev %llu ino %llu size %lld mtime %lld.%09ld ctime %lld.%09ld",
	    static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
	    static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
	    st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
	return std::to_string(strlen(real)) + ":" + real + buf;
}

/*
 * Every regular file of the probe directory by content, headers included:
 * a probe may include any of them.
 */
std::string
probe_sources_digest(const std::string &probe_dir)
{
	std::vector<std::string> names;
	DIR *d = opendir(probe_dir.c_str());
	if (d == nullptr)
		return "unreadable";
	struct dirent *e;
	while ((e = readdir(d)) != nullptr)
		if (e->d_name[0] != '.')
			names.push_back(e->d_name);
	std::sort(names.begin(), names.end());
	std::string digest;
	for (const auto &n : names) {
		std::string data;
		if (!read_regular(dirfd(d), n, data, 0).empty())
			continue;	/* a subdirectory; an unreadable source fails the build */
		digest += " " + std::to_string(n.size()) + ":" + n + " " +
		    std::to_string(data.size()) + " " + hex(fnv1a(data));
	}
	(void)closedir(d);
	return digest;
}

/*
 * Whether a word given to the compilers may mean something else in
 * another directory.  What is not known to be free of a relative path
 * counts as one: a plain word may be a file, or the value of the option
 * before it.
 */
bool
cwd_dependent(const std::string &w)
{
	if (w.empty())
		return false;
	if (w[0] == '@')
		return true;
	if (w[0] != '-')
		return w[0] != '/';
	if (w[1] == 'D' || w[1] == 'U')
		return false;	/* a macro's text names nothing for the driver */
	for (const char *pass : { "-Wl,", "-Wa,", "-Wp," })
		if (w.compare(0, strlen(pass), pass) == 0) {
			size_t i = strlen(pass), comma;
			do {
				comma = w.find(',', i);
				if (cwd_dependent(w.substr(i, comma == std::string::npos ? comma : comma - i)))
					return true;
				i = comma + 1;
			} while (comma != std::string::npos);
			return false;
		}
	for (const char *opt : path_options) {
		size_t n = strlen(opt);
		if (w.size() > n && w.compare(0, n, opt) == 0)
			return w[n] != '/';
	}
	/* Any other value that looks like a path: -fuse-ld=./ld. */
	size_t eq = w.find('=');
	return eq != std::string::npos && w.find('/', eq) != std::string::npos && w[eq + 1] != '/';
}

bool
relative_path_list(const char *list)
{
	const char *p = list;

	for (;;) {
		if (*p != '/')
			return true;	/* also an empty entry: the current directory */
		p = strchr(p, ':');
		if (p == nullptr)
			return false;
		p++;
	}
}

bool
keyed_variable(const std::string &name)
{
	for (const char *v : compiler_environment)
		if (name == v)
			return true;
	for (const char *prefix : compiler_environment_prefixes)
		if (name.compare(0, strlen(prefix), prefix) == 0)
			return true;
	static const std::string suffix = "_DEPLOYMENT_TARGET";
	return name.size() > suffix.size() &&
	    name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

/* Every variable of the environment that a compiler may read, in order. */
void
key_environment(std::string &key)
{
	std::vector<std::pair<std::string, std::string>> vars;

	for (char **e = environ; *e != nullptr; e++) {
		const char *eq = strchr(*e, '=');
		if (eq == nullptr)
			continue;
		std::string name(*e, static_cast<size_t>(eq - *e));
		if (keyed_variable(name))
			vars.emplace_back(name, eq + 1);
	}
	std::sort(vars.begin(), vars.end());
	for (const auto &v : vars)
		key_line(key, ("env " + v.first).c_str(), { v.second });
}

/*
 * A response file (@file) by its contents, and the response files it
 * names in turn: the drivers read them in place of the word.  A nested
 * relative name is looked up both from the current directory and from the
 * including file's, as drivers differ.
 */
void
key_response_file(run &r, std::string &key, const std::string &name, const std::string &from,
    int depth)
{
	std::vector<std::string> paths = { name };
	if (name[0] != '/' && !from.empty())
		paths.push_back(from + "/" + name);
	for (const auto &path : paths) {
		std::string data;
		std::string why = read_regular(AT_FDCWD, path, data, cache_entry_max);
		/* One the drivers cannot open they take as a plain word; one whose
		 * contents cannot be known here leaves the answer unkeyed. */
		struct stat st;
		if (!why.empty() && stat(path.c_str(), &st) == 0 && access(path.c_str(), R_OK) == 0 &&
		    r.uncacheable.empty())
			r.uncacheable = "response file @" + path + ": " + why;
		key_line(key, "response-file", { path, why.empty() ? "contents" : why, data });
		std::vector<std::string> words;
		if (!why.empty() || depth >= response_file_depth || !split_words(data, words))
			continue;
		size_t slash = path.rfind('/');
		std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
		for (const auto &w : words)
			if (w.size() > 1 && w[0] == '@')
				key_response_file(r, key, w.substr(1), dir, depth + 1);
	}
}

/*
 * The options as the compilers will read them: response files by their
 * contents, and the current directory when anything in them, or a list of
 * directories in the environment, may be relative to it.
 */
void
key_option_context(run &r, std::string &key)
{
	std::vector<const std::string *> words;
	bool relative = false;

	for (const compiler *c : { &r.cc, &r.cxx })
		for (size_t i = 1; i < c->words.size(); i++)
			words.push_back(&c->words[i]);
	for (const auto &w : r.cflags)
		words.push_back(&w);
	for (const std::string *w : words) {
		relative = relative || cwd_dependent(*w);
		if (w->size() > 1 && (*w)[0] == '@')
			key_response_file(r, key, w->substr(1), "", 0);
	}
	for (const char *name : path_list_environment) {
		const char *v = getenv(name);
		relative = relative || (v != nullptr && relative_path_list(v));
	}
	if (!relative)
		return;
	char dir[PATH_MAX];
	struct stat st;
	std::string where = getcwd(dir, sizeof(dir)) != nullptr ? dir : "unknown";
	if (stat(".", &st) == 0)
		where += " dev " + std::to_string(st.st_dev) + " ino " + std::to_string(st.st_ino);
	key_line(key, "cwd", { where });
}

} // namespace

std::string
cache_key(run &r)
{
	std::string key;

	key_line(key, "ccfacts", { CCFACTS_VERSION, file_identity("/proc/self/exe") });
	key_line(key, "cc", r.cc.words);
	key_line(key, "cc-file", { file_identity(r.cc.path) });
	if (r.no_cxx) {
		key_line(key, "cxx", { "none" });
	} else {
		key_line(key, "cxx", r.cxx.words);
		key_line(key, "cxx-file", { file_identity(r.cxx.path) });
	}
	key_line(key, "cflags", r.cflags);
	key_line(key, "std-c", { r.std_c });
	key_line(key, "std-cxx", { r.std_cxx });
	key_option_context(r, key);
	key_environment(key);
	key += "probes" + probe_sources_digest(r.probe_dir) + "\n";
	return key;
}
