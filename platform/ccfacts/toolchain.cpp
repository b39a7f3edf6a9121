/* SPDX-License-Identifier: ISC */
/*
 * The toolchain asked about and the probes it is asked with: the file each
 * compiler command runs, the C++ driver named after a C one, and where the
 * probe sources are installed.
 */

#include <sys/stat.h>

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "ccfacts.h"

namespace {

bool
executable_file(const std::string &path)
{
	struct stat st;

	return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
	    access(path.c_str(), X_OK) == 0;
}

} // namespace

/*
 * The file that running `name` executes, searched in PATH as execvp does;
 * empty when there is none.  The builds run this very file, so the cache key
 * describes what was run.
 */
std::string
find_program(const std::string &name)
{
	if (name.empty())
		return "";
	if (name.find('/') != std::string::npos)
		return executable_file(name) ? name : "";
	const char *path = getenv("PATH");
	std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
	size_t i = 0;
	for (;;) {
		size_t end = dirs.find(':', i);
		std::string dir = dirs.substr(i, end == std::string::npos ? end : end - i);
		std::string file = (dir.empty() ? "." : dir) + "/" + name;
		if (executable_file(file))
			return file;
		if (end == std::string::npos)
			return "";
		i = end + 1;
	}
}

/*
 * The C++ driver that sits beside a C driver: "gcc" gives "g++", "clang"
 * "clang++" and "cc" "c++", keeping a directory, a target prefix
 * ("mips-linux-gnu-") and a version suffix ("-12").  Empty when the name
 * is none of these.
 */
std::string
cxx_name_of(const std::string &c_name)
{
	static const std::pair<std::string, std::string> drivers[] = {
		{ "clang", "clang++" }, { "gcc", "g++" }, { "cc", "c++" },
	};
	size_t slash = c_name.rfind('/');
	size_t base = slash == std::string::npos ? 0 : slash + 1;
	size_t end = c_name.size();
	size_t dash = c_name.rfind('-');

	if (dash != std::string::npos && dash >= base && dash + 1 < c_name.size() &&
	    c_name.find_first_not_of("0123456789.", dash + 1) == std::string::npos)
		end = dash;
	for (const auto &d : drivers) {
		size_t n = d.first.size();
		if (end - base < n || c_name.compare(end - n, n, d.first) != 0)
			continue;
		if (end - n != base && c_name[end - n - 1] != '-')
			continue;
		return c_name.substr(0, end - n) + d.second + c_name.substr(end);
	}
	return "";
}

/*
 * Without a word for C++, the C++ compiler is the one named after the C
 * compiler; a toolchain without it is asked about C alone.
 */
void
derive_cxx(run &r)
{
	std::string name = cxx_name_of(r.cc.words.front());

	if (name.empty()) {
		fprintf(stderr, "ccfacts: no C++ compiler is named after %s; "
		    "the C++ probes are left out\n", r.cc.words.front().c_str());
		r.no_cxx = true;
		return;
	}
	r.cxx.words = r.cc.words;
	r.cxx.words.front() = name;
	r.cxx.path = find_program(name);
	if (r.cxx.path.empty()) {
		fprintf(stderr, "ccfacts: C++ compiler %s not found; "
		    "the C++ probes are left out\n", name.c_str());
		r.no_cxx = true;
	}
}

/* Whether DIR holds probe sources: the compiler's identity probe marks it. */
bool
has_probes(const std::string &dir)
{
	return !dir.empty() && access((dir + "/ccid-probe.c").c_str(), R_OK) == 0;
}

/*
 * The installed sources lie at PREFIX/DATADIR/ccfacts/probes, PREFIX being
 * the executable's directory less as many components as BINDIR has.  An
 * executable in the build tree falls back to the source tree.
 */
std::string
find_probes(const char *option)
{
	if (option != nullptr)
		return option;
	const char *env = getenv("CCFACTS_PROBES");
	if (env != nullptr && *env != '\0')
		return env;

	char self[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
	if (n > 0) {
		std::string prefix(self, static_cast<size_t>(n));
		prefix.erase(prefix.rfind('/'));
		for (const char *c = CCFACTS_BINDIR; *c != '\0'; c++)
			if (*c != '/' && (c[1] == '/' || c[1] == '\0') &&
			    prefix.rfind('/') != std::string::npos)
				prefix.erase(prefix.rfind('/'));
		std::string dir = prefix + "/" CCFACTS_DATADIR "/ccfacts/probes";
		if (has_probes(dir))
			return dir;
	}
	return CCFACTS_SOURCE_PROBES;
}
