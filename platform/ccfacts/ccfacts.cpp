/* SPDX-License-Identifier: ISC */
/*
 * ccfacts: what a C and a C++ compiler know about themselves and their
 * target, learned by compiling and linking the probes with them and reading
 * the strings that the compilers put into the executables.  The probes are
 * never run, so any cross compiler can be asked, with or without an emulator.
 *
 * What one toolchain told is kept in a cache entry, keyed by everything the
 * answer depends on, so that asking the same toolchain again costs a few
 * system calls instead of eight compilations.
 */

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <ctype.h>
#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <utility>
#include <vector>

extern char **environ;

namespace {

enum class lang { c, cxx };

struct probe {
	const char *name;
	const char *source;
	lang language;
	bool dialect;		/* compiled under the chosen -std= */
};

/*
 * The link probe comes first: when the toolchain cannot link at all, its
 * failure is the one worth reporting.  Errors are reported in this order.
 */
const probe probes[] = {
	{ "link-probe", "link-probe.c", lang::c, false },
	{ "ccid-probe", "ccid-probe.c", lang::c, false },
	{ "abi-probe-c", "abi-probe-c.c", lang::c, false },
	{ "abi-probe-cxx", "abi-probe-cxx.cpp", lang::cxx, false },
	{ "feature-probe-c", "feature-probe-c.c", lang::c, true },
	{ "feature-probe-cxx", "feature-probe-cxx.cpp", lang::cxx, true },
	{ "endian-probe", "endian-probe.c", lang::c, false },
	{ "typesize-probe", "typesize-probe.c", lang::c, false },
};
constexpr size_t nprobes = sizeof(probes) / sizeof(probes[0]);

const char little_text[] = "THIS IS LITTLE ENDIAN.";
const char big_text[] = "THIS IS BIG ENDIAN..";

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

const char cache_magic[] = "ccfacts cache 1\n";
constexpr off_t cache_entry_max = 1 << 20;
constexpr unsigned grace_seconds = 2;	/* after passing a signal on */

struct build {
	pid_t pid = -1;			/* also the job's process group */
	int status = 0;
	int spawn_errno = 0;
	bool done = false;
	struct timespec deadline = { 0, 0 };
	std::string exe, log;
};

/* A compiler command and the executable that its first word names. */
struct compiler {
	std::vector<std::string> words;
	std::string path;		/* as found in PATH; empty: not found */
};

struct feature_list {
	std::string dialect;			/* empty: the compiler's default */
	std::vector<std::pair<std::string, bool>> features;
};

struct facts {
	std::string compiler, platform, arch, dialect_default, abi, arch_key;
	unsigned long version[3] = { 0, 0, 0 };
	unsigned long sizeof_dptr = 0, sizeof_ushort = 0;
	bool big_endian = false;
	feature_list c_features, cxx_features;
};

compiler cc, cxx;
std::vector<std::string> cflags;
bool no_cxx;			/* --cxx none: a toolchain without C++ */
std::string std_c, std_cxx;
std::string probe_dir;
std::string workdir;
bool json_output;
size_t jobs;			/* 0 until set: one per processor we may use */
unsigned long timeout_seconds = 120;
bool use_cache = true;
std::string uncacheable;	/* why this run's answer cannot be keyed */
std::string cache_dir;		/* empty: none could be named */
std::string no_cache_dir;	/* why none could be */
bool cache_warned;
build builds[nprobes];
sigset_t caught_signals, saved_mask, wait_mask;
volatile sig_atomic_t interrupted;

const char usage_text[] =
    "usage: ccfacts [--cc CC] [--cxx CXX] [--cflags FLAGS] [--std-c STD] [--std-cxx STD]\n"
    "               [--probes DIR] [--jobs N] [--timeout SECONDS] [--json]\n"
    "               [--cache-dir DIR | --no-cache]\n"
    "       ccfacts --help | --version\n";

[[noreturn]] void
usage()
{
	fputs(usage_text, stderr);
	exit(2);
}

[[noreturn]] void
help()
{
	fputs(usage_text, stdout);
	fputs("\n"
	    "  --cc CC            C compiler and its options (default $CC, else cc)\n"
	    "  --cxx CXX          C++ compiler (default $CXX, else named after CC); none: no C++\n"
	    "  --cflags FLAGS     options for every compilation and link\n"
	    "  --std-c STD        C dialect of the C feature list\n"
	    "  --std-cxx STD      C++ dialect of the C++ feature list\n"
	    "  --probes DIR       where the probe sources are\n"
	    "  --jobs N           probes built at once (default: one per processor)\n"
	    "  --timeout SECONDS  time one probe's build may take (default 120)\n"
	    "  --json             one JSON object instead of the table\n"
	    "  --cache-dir DIR    where learned facts are kept\n"
	    "                     (default $XDG_CACHE_HOME/ccfacts, else ~/.cache/ccfacts)\n"
	    "  --no-cache         neither read nor keep learned facts\n", stdout);
	if (fflush(stdout) != 0 || ferror(stdout))
		err(1, "stdout");
	exit(0);
}

[[noreturn]] void
version()
{
	printf("ccfacts %s\n", CCFACTS_VERSION);
	if (fflush(stdout) != 0 || ferror(stdout))
		err(1, "stdout");
	exit(0);
}

/*
 * Words as the shell splits them, without its expansions: blanks separate
 * words, '...' keeps every character, "..." every one but the backslash
 * before " \ $ ` and newline, and a backslash elsewhere quotes the next
 * character.  False on a quote left open.
 */
bool
split_words(const std::string &s, std::vector<std::string> &out)
{
	std::string word;
	bool in_word = false;

	for (size_t i = 0; i < s.size(); i++) {
		char c = s[i];
		if (c == ' ' || c == '\t' || c == '\n') {
			if (in_word)
				out.push_back(word);
			word.clear();
			in_word = false;
			continue;
		}
		in_word = true;
		if (c == '\'') {
			size_t close = s.find('\'', i + 1);
			if (close == std::string::npos)
				return false;
			word.append(s, i + 1, close - i - 1);
			i = close;
		} else if (c == '"') {
			static const std::string escaped = "\"\\$`\n";
			for (i++; i < s.size() && s[i] != '"'; i++) {
				if (s[i] == '\\' && i + 1 < s.size() &&
				    escaped.find(s[i + 1]) != std::string::npos && s[++i] == '\n')
					continue;
				word += s[i];
			}
			if (i >= s.size())
				return false;
		} else if (c == '\\' && i + 1 < s.size()) {
			if (s[++i] != '\n')
				word += s[i];
		} else {
			word += c;
		}
	}
	if (in_word)
		out.push_back(word);
	return true;
}

std::vector<std::string>
words_of(const char *what, const std::string &s)
{
	std::vector<std::string> w;

	if (!split_words(s, w)) {
		fprintf(stderr, "ccfacts: %s: unterminated quote: %s\n", what, s.c_str());
		usage();
	}
	return w;
}

/* A word as the shell reads it back, quoted only when it has to be. */
std::string
shell_word(const std::string &w)
{
	static const char plain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
	    "0123456789_@%+=:,./-";

	if (!w.empty() && w.find_first_not_of(plain) == std::string::npos)
		return w;
	std::string q = "'";
	for (char c : w)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}

std::string
joined(const std::vector<std::string> &w)
{
	std::string s;

	for (const auto &x : w)
		s += (s.empty() ? "" : " ") + shell_word(x);
	return s;
}

bool
executable_file(const std::string &path)
{
	struct stat st;

	return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
	    access(path.c_str(), X_OK) == 0;
}

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
derive_cxx()
{
	std::string name = cxx_name_of(cc.words.front());

	if (name.empty()) {
		fprintf(stderr, "ccfacts: no C++ compiler is named after %s; "
		    "the C++ probes are left out\n", cc.words.front().c_str());
		no_cxx = true;
		return;
	}
	cxx.words = cc.words;
	cxx.words.front() = name;
	cxx.path = find_program(name);
	if (cxx.path.empty()) {
		fprintf(stderr, "ccfacts: C++ compiler %s not found; "
		    "the C++ probes are left out\n", name.c_str());
		no_cxx = true;
	}
}

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

/*
 * Empties and removes a directory that a compiler may have filled with
 * anything: links are removed, never followed, so nothing outside it goes.
 */
/*
 * A directory left unreadable (mode 000) is still ours to open: its mode is
 * changed through an O_PATH descriptor, which needs no permission on the
 * directory and, like the open it precedes, follows no link.
 */
bool
make_openable(int parent, const char *name)
{
	int fd = openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd == -1)
		return false;
	bool ok = chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), 0700) == 0;
	(void)close(fd);
	return ok;
}

bool
remove_tree(int parent, const char *name)
{
	int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd == -1 && errno == EACCES && make_openable(parent, name))
		fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd == -1)
		return unlinkat(parent, name, 0) == 0;
	(void)fchmod(fd, 0700);		/* a directory left unwritable is still ours */
	DIR *d = fdopendir(fd);
	if (d == nullptr) {
		(void)close(fd);
		return false;
	}
	std::vector<std::string> names;
	struct dirent *e;
	while ((e = readdir(d)) != nullptr)
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			names.push_back(e->d_name);
	bool ok = true;
	for (const auto &n : names) {
		struct stat st;
		if (fstatat(dirfd(d), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    S_ISDIR(st.st_mode))
			ok = remove_tree(dirfd(d), n.c_str()) && ok;
		else if (unlinkat(dirfd(d), n.c_str(), 0) == -1 && errno != ENOENT)
			ok = false;
	}
	(void)closedir(d);
	return unlinkat(parent, name, AT_REMOVEDIR) == 0 && ok;
}

void end_descendants();
std::string read_regular(int dir, const std::string &path, std::string &data, off_t limit);

void
remove_workdir()
{
	if (workdir.empty())
		return;
	if (!remove_tree(AT_FDCWD, workdir.c_str()))
		warn("cannot remove %s", workdir.c_str());
	workdir.clear();
}

void
on_signal(int sig)
{
	interrupted = sig;
}

void
on_child(int)
{
}

/*
 * The faults: one that another process sent is a request to end like any
 * other; one of our own making must not be returned into, and ends us.
 */
void
on_fault(int sig, siginfo_t *info, void *)
{
	if (info->si_code <= 0) {
		interrupted = sig;
		return;
	}
	(void)signal(sig, SIG_DFL);
}

/*
 * Every signal whose default action ends the process, but for SIGKILL,
 * which cannot be caught: ending ccfacts in any of these ways ends its
 * builds and removes its directory first.
 */
std::vector<int>
ending_signals()
{
	std::vector<int> sigs = { SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
		SIGPIPE, SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ, SIGIO, SIGPWR, SIGSTKFLT, SIGTRAP,
		SIGSYS, SIGABRT };
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
		sigs.push_back(sig);
	return sigs;
}

const int fault_signals[] = { SIGSEGV, SIGBUS, SIGFPE, SIGILL };

/*
 * The compilers run in process groups of their own, where a terminal's
 * interrupt does not reach them: ccfacts passes it on.  The signals stay
 * blocked but while waiting, so that no child is started or reaped
 * unnoticed (the faults cannot be blocked: their handler only notes a sent
 * one).  A signal ignored from the start stays ignored.
 *
 * A compiler's child that leaves its process group (setsid) is reparented
 * to us, not to init, when its parent ends: so every process a build
 * started stays a descendant that the end of the run can find.
 */
void
catch_signals()
{
	struct sigaction sa, old;

	if (prctl(PR_SET_CHILD_SUBREAPER, 1) == -1)
		err(1, "prctl");
	(void)sigemptyset(&caught_signals);
	memset(&sa, 0, sizeof(sa));
	(void)sigemptyset(&sa.sa_mask);
	std::vector<int> sigs = ending_signals();
	sigs.push_back(SIGCHLD);
	for (int sig : sigs) {
		sa.sa_handler = sig == SIGCHLD ? on_child : on_signal;
		if (sigaction(sig, &sa, &old) == -1)
			err(1, "sigaction");
		if (sig != SIGCHLD && old.sa_handler == SIG_IGN &&
		    sigaction(sig, &old, nullptr) == -1)
			err(1, "sigaction");
		if (sig == SIGCHLD || old.sa_handler != SIG_IGN)
			(void)sigaddset(&caught_signals, sig);
	}
	sa.sa_handler = nullptr;
	sa.sa_sigaction = on_fault;
	sa.sa_flags = SA_SIGINFO;
	for (int sig : fault_signals)
		if (sigaction(sig, &sa, nullptr) == -1)
			err(1, "sigaction");
	if (sigprocmask(SIG_BLOCK, &caught_signals, &saved_mask) == -1)
		err(1, "sigprocmask");
	/* Even if whoever started us blocked SIGCHLD, the wait must see it. */
	wait_mask = saved_mask;
	for (int sig : sigs)
		if (sigismember(&caught_signals, sig))
			(void)sigdelset(&wait_mask, sig);
}

/*
 * After the work, with nothing left to clean up: an interrupt that came
 * meanwhile ends ccfacts now, and one that comes later ends it at once.
 */
void
release_signals()
{
	int sig = interrupted;

	if (sig != 0) {
		end_descendants();
		remove_workdir();
	}
	for (int s : ending_signals())
		if (sigismember(&caught_signals, s) && signal(s, SIG_DFL) == SIG_ERR)
			err(1, "signal");
	for (int s : fault_signals)
		if (signal(s, SIG_DFL) == SIG_ERR)
			err(1, "signal");
	if (sig != 0) {
		(void)sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
		(void)raise(sig);
		_exit(128 + sig);
	}
	if (sigprocmask(SIG_SETMASK, &saved_mask, nullptr) == -1)
		err(1, "sigprocmask");
}

/*
 * One build per processor that this process may run on, as nproc counts
 * them: more builds than processors only share them out, and on a machine
 * that charges for every process switch they finish later together.
 */
size_t
default_jobs()
{
	cpu_set_t set;
	int n = 0;

	if (sched_getaffinity(0, sizeof(set), &set) == 0)
		n = CPU_COUNT(&set);
	if (n <= 0)
		n = static_cast<int>(std::clamp<long>(sysconf(_SC_NPROCESSORS_ONLN), 1, nprobes));
	return std::min(static_cast<size_t>(n), nprobes);
}

/* An exit with builds under way (an error of ours) leaves nothing behind either. */
void
end_at_exit()
{
	if (workdir.empty())
		return;
	end_descendants();
	remove_workdir();
}

void
make_workdir()
{
	const char *tmp = getenv("TMPDIR");
	std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
	    "/ccfacts.XXXXXX";

	/* A private directory: no one else can plant or read our executables. */
	if (mkdtemp(&templ[0]) == nullptr)
		err(1, "mkdtemp %s", templ.c_str());
	workdir = templ;
	if (atexit(end_at_exit) != 0)
		errx(1, "atexit failed");
}

const compiler &
compiler_of(size_t i)
{
	return probes[i].language == lang::c ? cc : cxx;
}

std::vector<std::string>
command_of(size_t i)
{
	const probe &p = probes[i];
	std::vector<std::string> argv = compiler_of(i).words;
	const std::string &std = p.language == lang::c ? std_c : std_cxx;

	argv.insert(argv.end(), cflags.begin(), cflags.end());
	if (p.dialect && !std.empty())
		argv.push_back("-std=" + std);
	argv.push_back("-I" + probe_dir);
	argv.push_back(probe_dir + "/" + p.source);
	argv.push_back("-o");
	argv.push_back(builds[i].exe);
	return argv;
}

struct timespec
now()
{
	struct timespec t;

	if (clock_gettime(CLOCK_MONOTONIC, &t) == -1)
		err(1, "clock_gettime");
	return t;
}

bool
before(const struct timespec &a, const struct timespec &b)
{
	return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

struct timespec
later(struct timespec t, unsigned long seconds)
{
	t.tv_sec += static_cast<time_t>(seconds);
	return t;
}

/* Each job leads a process group, so that its deadline reaches its children. */
void
start(size_t i)
{
	build &b = builds[i];
	const compiler &c = compiler_of(i);
	b.exe = workdir + "/" + probes[i].name;
	b.log = b.exe + ".log";
	if (c.path.empty()) {
		b.spawn_errno = ENOENT;
		return;
	}

	std::vector<std::string> args = command_of(i);
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(&a[0]);
	argv.push_back(nullptr);

	posix_spawn_file_actions_t fa;
	posix_spawnattr_t attr;
	if (posix_spawn_file_actions_init(&fa) != 0 ||
	    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0) != 0 ||
	    posix_spawn_file_actions_addopen(&fa, 1, b.log.c_str(),
	    O_WRONLY | O_CREAT | O_TRUNC, 0600) != 0 ||
	    posix_spawn_file_actions_adddup2(&fa, 1, 2) != 0)
		errx(1, "posix_spawn_file_actions failed");
	if (posix_spawnattr_init(&attr) != 0 ||
	    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP |
	    POSIX_SPAWN_SETSIGMASK) != 0 ||
	    posix_spawnattr_setpgroup(&attr, 0) != 0 ||
	    posix_spawnattr_setsigmask(&attr, &saved_mask) != 0)
		errx(1, "posix_spawnattr failed");
	b.spawn_errno = posix_spawn(&b.pid, c.path.c_str(), &fa, &attr, argv.data(), environ);
	if (b.spawn_errno != 0)
		b.pid = -1;
	else
		b.deadline = later(now(), timeout_seconds);
	(void)posix_spawnattr_destroy(&attr);
	(void)posix_spawn_file_actions_destroy(&fa);
}

bool
skipped(size_t i)
{
	return no_cxx && probes[i].language == lang::cxx;
}

bool
running(const build &b)
{
	return b.pid > 0 && !b.done;
}

/*
 * Collects the jobs that have ended.  A job's group is swept once its
 * leader is gone: a child left behind must not write into the directory
 * being read or removed.
 */
void
reap()
{
	int status;
	pid_t pid;

	while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
		for (auto &b : builds)
			if (b.pid == pid && !b.done) {
				b.status = status;
				b.done = true;
				(void)kill(-pid, SIGKILL);
			}
	if (pid == -1 && errno != ECHILD && errno != EINTR)
		err(1, "waitpid");
}

/* Sleeps until a signal comes or `until` passes. */
void
pause_until(const struct timespec &until)
{
	struct timespec t = now(), wait = { 0, 0 };

	if (before(t, until)) {
		wait.tv_sec = until.tv_sec - t.tv_sec;
		wait.tv_nsec = until.tv_nsec - t.tv_nsec;
		if (wait.tv_nsec < 0) {
			wait.tv_sec--;
			wait.tv_nsec += 1000000000L;
		}
	}
	if (ppoll(nullptr, 0, &wait, &wait_mask) == -1 && errno != EINTR)
		err(1, "ppoll");
}

/*
 * Every process descended from ccfacts that is still alive, found through
 * /proc; with ccfacts the subreaper, that is everything the builds started,
 * whatever process group or session it moved to.
 */
std::vector<pid_t>
descendants()
{
	std::map<pid_t, std::vector<pid_t>> children;
	DIR *d = opendir("/proc");
	if (d == nullptr)
		return {};
	struct dirent *e;
	while ((e = readdir(d)) != nullptr) {
		if (!isdigit(static_cast<unsigned char>(e->d_name[0])))
			continue;
		std::string stat;
		if (!read_regular(dirfd(d), std::string(e->d_name) + "/stat", stat, 0).empty())
			continue;
		/* "pid (comm) state ppid ...": comm may hold anything, ')' too. */
		size_t close = stat.rfind(')');
		if (close == std::string::npos || close + 4 >= stat.size() || stat[close + 2] == 'Z')
			continue;
		children[static_cast<pid_t>(atol(stat.c_str() + close + 4))].push_back(
		    static_cast<pid_t>(atol(e->d_name)));
	}
	(void)closedir(d);
	std::vector<pid_t> found;
	std::vector<pid_t> parents = { getpid() };
	while (!parents.empty()) {
		pid_t p = parents.back();
		parents.pop_back();
		for (pid_t c : children[p]) {
			found.push_back(c);
			parents.push_back(c);
		}
	}
	return found;
}

void
signal_descendants(int sig)
{
	for (pid_t p : descendants())
		(void)kill(p, sig);
}

/*
 * Kills whatever the builds left running, until nothing is left but what
 * no signal of ours can reach (a process that changed its credentials).
 */
void
end_descendants()
{
	for (int round = 0; round < 1000; round++) {
		reap();
		bool reached = false;
		for (pid_t p : descendants())
			reached = kill(p, SIGKILL) == 0 || reached;
		if (!reached)
			return;
		struct timespec soon = now();
		soon.tv_nsec += 10000000L;
		if (soon.tv_nsec >= 1000000000L) {
			soon.tv_sec++;
			soon.tv_nsec -= 1000000000L;
		}
		pause_until(soon);
	}
}

/*
 * Sends a signal to every job's group, and to what left the groups, and
 * waits until all are gone.  Signals other than the three a terminal or a
 * service manager send are passed on as SIGTERM: a SIGQUIT passed on would
 * leave the compilers' core files behind.
 */
void
stop_jobs(int sig)
{
	struct timespec until = later(now(), grace_seconds);

	if (sig != SIGKILL && sig != SIGINT && sig != SIGTERM && sig != SIGHUP)
		sig = SIGTERM;
	for (auto &b : builds)
		if (running(b))
			(void)kill(-b.pid, sig);
	signal_descendants(sig);
	for (;;) {
		reap();
		if (std::none_of(std::begin(builds), std::end(builds), running))
			return;
		if (sig != SIGKILL && !before(now(), until)) {
			sig = SIGKILL;
			for (auto &b : builds)
				if (running(b))
					(void)kill(-b.pid, sig);
		}
		pause_until(sig == SIGKILL ? later(now(), 1) : until);
	}
}

[[noreturn]] void
timed_out(size_t i)
{
	stop_jobs(SIGKILL);
	end_descendants();
	remove_workdir();
	fprintf(stderr, "ccfacts: %s: %s did not finish within %lu second%s\n",
	    probes[i].name, compiler_of(i).words.front().c_str(), timeout_seconds,
	    timeout_seconds == 1 ? "" : "s");
	exit(1);
}

/* Starts the builds, at most `jobs` at once, the C++ probes (the slowest) first. */
void
run_builds()
{
	std::vector<size_t> order;
	for (size_t i = 0; i < nprobes; i++)
		if (probes[i].language == lang::cxx && !skipped(i))
			order.push_back(i);
	for (size_t i = 0; i < nprobes; i++)
		if (probes[i].language == lang::c)
			order.push_back(i);

	size_t next = 0;
	for (;;) {
		reap();
		if (interrupted != 0) {
			stop_jobs(interrupted);
			release_signals();
		}
		size_t active = static_cast<size_t>(std::count_if(std::begin(builds),
		    std::end(builds), running));
		while (next < order.size() && active < jobs) {
			start(order[next++]);
			if (builds[order[next - 1]].pid > 0)
				active++;
		}
		/* Nothing a build left may write into what is read next. */
		if (active == 0) {
			end_descendants();
			return;
		}
		size_t first = nprobes;
		for (size_t i = 0; i < nprobes; i++)
			if (running(builds[i]) && (first == nprobes ||
			    before(builds[i].deadline, builds[first].deadline)))
				first = i;
		if (!before(now(), builds[first].deadline))
			timed_out(first);
		pause_until(builds[first].deadline);
	}
}

/*
 * The whole of a regular file: whatever else a compiler leaves under the
 * name (a FIFO, a device) could block or never end.  The reason on failure.
 */
std::string
read_regular(int dir, const std::string &path, std::string &data, off_t limit)
{
	data.clear();
	int fd = openat(dir, path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd == -1)
		return strerror(errno);
	struct stat st;
	std::string why;
	if (fstat(fd, &st) == -1)
		why = strerror(errno);
	else if (!S_ISREG(st.st_mode))
		why = "not a regular file";
	else if (limit > 0 && st.st_size > limit)
		why = "too large";
	char buf[65536];
	while (why.empty()) {
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n == 0)
			break;
		if (n == -1 && errno != EINTR && errno != EAGAIN)
			why = strerror(errno);
		if (n > 0)
			data.append(buf, static_cast<size_t>(n));
		if (limit > 0 && static_cast<off_t>(data.size()) > limit)
			why = "too large";
	}
	(void)close(fd);
	return why;
}

/*
 * The first diagnostic of the compiler's output, for the one-line error.
 * The drivers' closing summaries ("ld returned 1 exit status") say less than
 * the linker's own line before them.
 */
std::string
first_error(const std::string &log)
{
	std::string first;
	size_t i = 0;

	while (i < log.size()) {
		size_t end = log.find('\n', i);
		if (end == std::string::npos)
			end = log.size();
		std::string line = log.substr(i, end - i);
		bool summary = line.find("returned 1 exit status") != std::string::npos ||
		    line.find("linker command failed") != std::string::npos;
		if (!summary && (line.find("error:") != std::string::npos ||
		    line.find("cannot find") != std::string::npos ||
		    line.find("undefined reference") != std::string::npos))
			return line;
		if (first.empty() && !line.empty())
			first = line;
		i = end + 1;
	}
	return first;
}

/*
 * Why a compiler that failed said nothing: most often its messages had
 * nowhere to go, the work directory's file system being full.
 */
std::string
silent_failure()
{
	struct statvfs fs;
	std::string tmp = workdir.substr(0, workdir.rfind('/'));

	if (statvfs(workdir.c_str(), &fs) == 0 && (fs.f_bavail == 0 || fs.f_favail == 0))
		return "no space left in " + (tmp.empty() ? "/" : tmp) +
		    " (TMPDIR), where its output and messages go";
	return "it gave no message";
}

[[noreturn]] void
probe_failed(size_t i, const std::string &what)
{
	fprintf(stderr, "ccfacts: %s: %s\n", probes[i].name, what.c_str());
	exit(1);
}

void
check_build(size_t i)
{
	const build &b = builds[i];
	const std::string &name = compiler_of(i).words.front();

	if (b.spawn_errno == ENOENT)
		probe_failed(i, "compiler not found: " + name);
	if (b.spawn_errno != 0)
		probe_failed(i, "cannot run " + name + ": " + strerror(b.spawn_errno));
	if (WIFEXITED(b.status) && WEXITSTATUS(b.status) == 0)
		return;

	std::string log;
	(void)read_regular(AT_FDCWD, b.log, log, 0);	/* without its log the status still tells */
	std::string how = WIFEXITED(b.status)
	    ? "status " + std::to_string(WEXITSTATUS(b.status))
	    : "signal " + std::to_string(WTERMSIG(b.status));
	std::string why = first_error(log);
	if (why.empty())
		why = silent_failure();
	fprintf(stderr, "ccfacts: %s: does not compile or link with %s (%s): %s\n",
	    probes[i].name, name.c_str(), how.c_str(), why.c_str());
	if (!log.empty())
		fputs(log.c_str(), stderr);
	exit(1);
}

size_t
count(const std::string &data, const std::string &text)
{
	size_t n = 0;
	for (size_t i = data.find(text); i != std::string::npos; i = data.find(text, i + 1))
		n++;
	return n;
}

bool
value_char(char c)
{
	return c >= ' ' && c <= '~' && c != ']';
}

/*
 * The strings "INFO:" key "[" value "]" NUL of one executable, by key.  Only
 * the size string may carry " key[" macro "]" before its NUL; that part is
 * returned as the value of the pseudo key "size.key".
 */
std::map<std::string, std::string>
info_strings(size_t i, const std::string &data)
{
	std::map<std::string, std::string> found;
	static const std::string prefix = "INFO:";

	for (size_t at = data.find(prefix); at != std::string::npos;
	    at = data.find(prefix, at + 1)) {
		size_t k = at + prefix.size();
		size_t open = k;
		while (open < data.size() && (islower(static_cast<unsigned char>(data[open])) ||
		    data[open] == '_'))
			open++;
		std::string key = data.substr(k, open - k);
		if (key.empty() || open >= data.size() || data[open] != '[')
			probe_failed(i, "malformed information string at offset " +
			    std::to_string(at));
		size_t close = open + 1;
		while (close < data.size() && value_char(data[close]))
			close++;
		if (close >= data.size() || data[close] != ']')
			probe_failed(i, "malformed string INFO:" + key);
		std::string value = data.substr(open + 1, close - open - 1);
		size_t end = close + 1;
		static const std::string keypart = " key[";
		if (key == "size" && data.compare(end, keypart.size(), keypart) == 0) {
			size_t kclose = end + keypart.size();
			while (kclose < data.size() && value_char(data[kclose]))
				kclose++;
			if (kclose >= data.size() || data[kclose] != ']')
				probe_failed(i, "malformed string INFO:size");
			found["size.key"] = data.substr(end + keypart.size(),
			    kclose - end - keypart.size());
			end = kclose + 1;
		}
		if (end >= data.size() || data[end] != '\0')
			probe_failed(i, "malformed string INFO:" + key + ": no NUL after it");
		if (!found.emplace(key, value).second)
			probe_failed(i, "string INFO:" + key + " appears more than once");
	}
	return found;
}

std::string
take(size_t i, std::map<std::string, std::string> &strings, const std::string &key)
{
	auto it = strings.find(key);
	if (it == strings.end())
		probe_failed(i, "string INFO:" + key + " is missing");
	std::string v = it->second;
	strings.erase(it);
	return v;
}

void
no_other_strings(size_t i, const std::map<std::string, std::string> &strings)
{
	if (!strings.empty())
		probe_failed(i, "unexpected string INFO:" + strings.begin()->first);
}

/* A fixed-width decimal field of exactly `width` digits. */
unsigned long
field(size_t i, const std::string &key, const std::string &s, size_t width)
{
	if (s.size() != width || s.find_first_not_of("0123456789") != std::string::npos)
		probe_failed(i, "malformed string INFO:" + key + ": \"" + s + "\" is not " +
		    std::to_string(width) + " digits");
	return strtoul(s.c_str(), nullptr, 10);
}

void
read_ccid(size_t i, const std::string &data, facts &f)
{
	auto s = info_strings(i, data);
	f.compiler = take(i, s, "compiler");
	f.platform = take(i, s, "platform");
	f.arch = take(i, s, "arch");
	f.dialect_default = take(i, s, "dialect_default");
	std::string v = take(i, s, "compiler_version");
	if (v.size() != 26 || v[8] != '.' || v[17] != '.')
		probe_failed(i, "malformed string INFO:compiler_version: \"" + v + "\"");
	for (int c = 0; c < 3; c++)
		f.version[c] = field(i, "compiler_version", v.substr(9 * c, 8), 8);
	no_other_strings(i, s);
}

void
read_abi(size_t i, const std::string &data, facts &f, bool first)
{
	auto s = info_strings(i, data);
	unsigned long dptr = field(i, "sizeof_dptr", take(i, s, "sizeof_dptr"), 2);
	std::string abi = take(i, s, "abi");
	no_other_strings(i, s);
	if (first) {
		f.sizeof_dptr = dptr;
		f.abi = abi;
	} else if (dptr != f.sizeof_dptr || abi != f.abi) {
		probe_failed(i, "pointer size " + std::to_string(dptr) + " and ABI " + abi +
		    " differ from the C compiler's " + std::to_string(f.sizeof_dptr) +
		    " and " + f.abi);
	}
}

void
read_typesize(size_t i, const std::string &data, facts &f)
{
	auto s = info_strings(i, data);
	f.sizeof_ushort = field(i, "size", take(i, s, "size"), 5);
	auto key = s.find("size.key");
	if (key != s.end()) {
		f.arch_key = key->second;
		s.erase(key);
	}
	no_other_strings(i, s);
}

void
read_endian(size_t i, const std::string &data, facts &f)
{
	size_t little = count(data, little_text), big = count(data, big_text);

	if (little + big == 0)
		probe_failed(i, "neither byte-order text is present");
	if (little > 0 && big > 0)
		probe_failed(i, "both byte-order texts are present");
	if (little > 1 || big > 1)
		probe_failed(i, "the byte-order text appears more than once");
	f.big_endian = big == 1;
	no_other_strings(i, info_strings(i, data));
}

/*
 * The feature list: a newline, then lines of prefix, digit, name, newline,
 * and a NUL after the last newline.  The prefix must occur nowhere else.
 */
void
read_features(size_t i, const std::string &data, const std::string &prefix,
    feature_list &list)
{
	size_t start = data.find("\n" + prefix);
	if (start == std::string::npos)
		probe_failed(i, "the " + prefix + " list is missing");
	size_t at = start + 1;
	size_t lines = 0;
	std::map<std::string, int> seen;

	while (at < data.size() && data[at] != '\0') {
		if (data.compare(at, prefix.size(), prefix) != 0)
			probe_failed(i, "malformed " + prefix + " line");
		size_t d = at + prefix.size();
		size_t nl = data.find('\n', d);
		size_t nul = data.find('\0', d);
		if (nl == std::string::npos || (nul != std::string::npos && nul < nl))
			probe_failed(i, "malformed " + prefix + " line: no newline");
		std::string name = data.substr(d + 1, nl - d - 1);
		if ((data[d] != '0' && data[d] != '1') || name.empty() ||
		    name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") !=
		    std::string::npos)
			probe_failed(i, "malformed " + prefix + " line: \"" +
			    data.substr(at, nl - at) + "\"");
		if (seen[name]++ > 0)
			probe_failed(i, "feature " + name + " appears more than once");
		list.features.emplace_back(name, data[d] == '1');
		lines++;
		at = nl + 1;
	}
	if (at >= data.size())
		probe_failed(i, "the " + prefix + " list is not terminated");
	if (count(data, prefix) != lines)
		probe_failed(i, "the " + prefix + " list appears more than once");
}

/* What the executable of probe i says, into f (the C ABI probe's before the C++ one's). */
void
read_probe(size_t i, const std::string &data, facts &f)
{
	std::string name = probes[i].name;

	if (name == "link-probe")
		no_other_strings(i, info_strings(i, data));
	else if (name == "ccid-probe")
		read_ccid(i, data, f);
	else if (name == "abi-probe-c" || name == "abi-probe-cxx")
		read_abi(i, data, f, name == "abi-probe-c");
	else if (name == "feature-probe-c")
		read_features(i, data, "C_FEATURE:", f.c_features);
	else if (name == "feature-probe-cxx")
		read_features(i, data, "CXX_FEATURE:", f.cxx_features);
	else if (name == "endian-probe")
		read_endian(i, data, f);
	else if (name == "typesize-probe")
		read_typesize(i, data, f);
}

void
read_all(facts &f)
{
	for (size_t i = 0; i < nprobes; i++)
		if (!skipped(i))
			check_build(i);
	for (size_t i = 0; i < nprobes; i++) {
		if (skipped(i))
			continue;
		std::string data;
		std::string why = read_regular(AT_FDCWD, builds[i].exe, data, 0);
		if (!why.empty())
			probe_failed(i, "cannot read the executable: " + why);
		read_probe(i, data, f);
	}
	f.c_features.dialect = std_c;
	f.cxx_features.dialect = std_cxx;
}

std::string
version_text(const facts &f)
{
	return std::to_string(f.version[0]) + "." + std::to_string(f.version[1]) + "." +
	    std::to_string(f.version[2]);
}

void
print_features(const char *label, const feature_list &list)
{
	std::string head = std::string(label) + " (" +
	    (list.dialect.empty() ? "default dialect" : "-std=" + list.dialect) + ")";
	std::string line;
	size_t n = 0;

	printf("%s:\n", head.c_str());
	for (const auto &ft : list.features) {
		if (!ft.second)
			continue;
		n++;
		if (!line.empty() && line.size() + 1 + ft.first.size() > 76) {
			printf("%s\n", line.c_str());
			line.clear();
		}
		line += (line.empty() ? "  " : " ") + ft.first;
	}
	if (n == 0)
		line = "  none";
	printf("%s\n", line.c_str());
	printf("  (%zu of %zu)\n", n, list.features.size());
}

void
print_table(const facts &f)
{
	printf("%-24s %s\n", "C compiler", joined(cc.words).c_str());
	printf("%-24s %s\n", "C++ compiler", no_cxx ? "none" : joined(cxx.words).c_str());
	if (!cflags.empty())
		printf("%-24s %s\n", "flags", joined(cflags).c_str());
	printf("%-24s %s\n", "probe sources", probe_dir.c_str());
	printf("%-24s %s\n", "compiler", f.compiler.empty() ? "(unknown)" : f.compiler.c_str());
	printf("%-24s %s\n", "version", version_text(f).c_str());
	printf("%-24s %s\n", "platform", f.platform.empty() ? "(unknown)" : f.platform.c_str());
	printf("%-24s %s\n", "architecture", f.arch.empty() ? "(none)" : f.arch.c_str());
	printf("%-24s %s\n", "default C dialect", f.dialect_default.c_str());
	printf("%-24s %lu bytes\n", "data pointer", f.sizeof_dptr);
	printf("%-24s %s\n", "ABI", f.abi.c_str());
	printf("%-24s %s\n", "byte order", f.big_endian ? "big-endian" : "little-endian");
	printf("%-24s %lu bytes\n", "unsigned short", f.sizeof_ushort);
	printf("%-24s %s\n", "architecture key", f.arch_key.empty() ? "(none)" : f.arch_key.c_str());
	printf("%-24s %s\n", "links a C program", "yes");
	print_features("C features", f.c_features);
	if (!no_cxx)
		print_features("C++ features", f.cxx_features);
}

/*
 * The length of the well-formed UTF-8 sequence at s[i] (RFC 3629: no
 * overlong forms, no surrogates, nothing above U+10FFFF), else 0.
 */
size_t
utf8_length(const std::string &s, size_t i)
{
	unsigned char c = static_cast<unsigned char>(s[i]);
	unsigned char lo = 0x80, hi = 0xbf;
	size_t n;

	if (c < 0x80)
		return 1;
	if (c >= 0xc2 && c <= 0xdf)
		n = 2;
	else if (c >= 0xe0 && c <= 0xef)
		n = 3;
	else if (c >= 0xf0 && c <= 0xf4)
		n = 4;
	else
		return 0;
	if (c == 0xe0)
		lo = 0xa0;
	else if (c == 0xed)
		hi = 0x9f;
	else if (c == 0xf0)
		lo = 0x90;
	else if (c == 0xf4)
		hi = 0x8f;
	if (i + n > s.size())
		return 0;
	for (size_t k = 1; k < n; k++) {
		unsigned char d = static_cast<unsigned char>(s[i + k]);
		if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xbf))
			return 0;
	}
	return n;
}

/*
 * A JSON string.  UTF-8 passes through; a byte that is not part of it (a
 * file name need not be text) becomes the lone surrogate U+DC00 + byte, as
 * Python's surrogateescape reads it back.
 */
std::string
quoted(const std::string &s)
{
	std::string q = "\"";
	char buf[8];

	for (size_t i = 0; i < s.size();) {
		unsigned char c = static_cast<unsigned char>(s[i]);
		size_t n = utf8_length(s, i);
		if (n == 0) {
			(void)snprintf(buf, sizeof(buf), "\\udc%02x", c);
			q += buf;
			n = 1;
		} else if (c == '"' || c == '\\') {
			q += '\\';
			q += static_cast<char>(c);
		} else if (c < 0x20 || c == 0x7f) {
			(void)snprintf(buf, sizeof(buf), "\\u%04x", c);
			q += buf;
		} else {
			q.append(s, i, n);
		}
		i += n;
	}
	return q + "\"";
}

std::string
quoted_list(const std::vector<std::string> &w)
{
	std::string s = "[";
	for (size_t i = 0; i < w.size(); i++)
		s += (i ? ", " : "") + quoted(w[i]);
	return s + "]";
}

std::string
json_features(const feature_list &list)
{
	std::string s = "{\"dialect\": " + (list.dialect.empty() ? std::string("null")
	    : quoted(list.dialect)) + ", \"features\": {";
	for (size_t i = 0; i < list.features.size(); i++)
		s += (i ? ", " : "") + quoted(list.features[i].first) + ": " +
		    (list.features[i].second ? "true" : "false");
	return s + "}}";
}

void
print_json(const facts &f)
{
	printf("{\n");
	printf("  \"cc\": %s,\n", quoted_list(cc.words).c_str());
	printf("  \"cxx\": %s,\n", no_cxx ? "null" : quoted_list(cxx.words).c_str());
	printf("  \"cflags\": %s,\n", quoted_list(cflags).c_str());
	printf("  \"probes\": %s,\n", quoted(probe_dir).c_str());
	printf("  \"compiler\": %s,\n", quoted(f.compiler).c_str());
	printf("  \"version\": [%lu, %lu, %lu],\n", f.version[0], f.version[1], f.version[2]);
	printf("  \"platform\": %s,\n", quoted(f.platform).c_str());
	printf("  \"arch\": %s,\n", quoted(f.arch).c_str());
	printf("  \"dialect_default\": %s,\n", quoted(f.dialect_default).c_str());
	printf("  \"sizeof_dptr\": %lu,\n", f.sizeof_dptr);
	printf("  \"abi\": %s,\n", quoted(f.abi).c_str());
	printf("  \"byte_order\": \"%s\",\n", f.big_endian ? "big" : "little");
	printf("  \"sizeof_unsigned_short\": %lu,\n", f.sizeof_ushort);
	printf("  \"arch_key\": %s,\n", f.arch_key.empty() ? "null" : quoted(f.arch_key).c_str());
	printf("  \"links\": true,\n");
	printf("  \"c_features\": %s,\n", json_features(f.c_features).c_str());
	printf("  \"cxx_features\": %s\n",
	    no_cxx ? "null" : json_features(f.cxx_features).c_str());
	printf("}\n");
}

void
print_facts(const facts &f)
{
	if (json_output)
		print_json(f);
	else
		print_table(f);
	if (fflush(stdout) != 0 || ferror(stdout))
		err(1, "stdout");
}

/*
 * FNV-1a, 64 bits: names the cache entries and checks that an entry is
 * whole.  It guards against accidents, not against someone who may write
 * the cache directory, who could as well write a plausible entry.
 */
uint64_t
fnv1a(const std::string &s, uint64_t h = 0xcbf29ce484222325ULL)
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
probe_sources_digest()
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
key_response_file(std::string &key, const std::string &name, const std::string &from, int depth)
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
		    uncacheable.empty())
			uncacheable = "response file @" + path + ": " + why;
		key_line(key, "response-file", { path, why.empty() ? "contents" : why, data });
		std::vector<std::string> words;
		if (!why.empty() || depth >= response_file_depth || !split_words(data, words))
			continue;
		size_t slash = path.rfind('/');
		std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
		for (const auto &w : words)
			if (w.size() > 1 && w[0] == '@')
				key_response_file(key, w.substr(1), dir, depth + 1);
	}
}

/*
 * The options as the compilers will read them: response files by their
 * contents, and the current directory when anything in them, or a list of
 * directories in the environment, may be relative to it.
 */
void
key_option_context(std::string &key)
{
	std::vector<const std::string *> words;
	bool relative = false;

	for (const compiler *c : { &cc, &cxx })
		for (size_t i = 1; i < c->words.size(); i++)
			words.push_back(&c->words[i]);
	for (const auto &w : cflags)
		words.push_back(&w);
	for (const std::string *w : words) {
		relative = relative || cwd_dependent(*w);
		if (w->size() > 1 && (*w)[0] == '@')
			key_response_file(key, w->substr(1), "", 0);
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

std::string
cache_key()
{
	std::string key;

	key_line(key, "ccfacts", { CCFACTS_VERSION, file_identity("/proc/self/exe") });
	key_line(key, "cc", cc.words);
	key_line(key, "cc-file", { file_identity(cc.path) });
	if (no_cxx) {
		key_line(key, "cxx", { "none" });
	} else {
		key_line(key, "cxx", cxx.words);
		key_line(key, "cxx-file", { file_identity(cxx.path) });
	}
	key_line(key, "cflags", cflags);
	key_line(key, "std-c", { std_c });
	key_line(key, "std-cxx", { std_cxx });
	key_option_context(key);
	key_environment(key);
	key += "probes" + probe_sources_digest() + "\n";
	return key;
}

/* The facts as the cache keeps them: one "name value" line each. */
std::string
facts_text(const facts &f)
{
	std::string t;
	auto line = [&t](const char *name, const std::string &value) {
		t += std::string(name) + " " + value + "\n";
	};

	line("compiler", f.compiler);
	line("platform", f.platform);
	line("arch", f.arch);
	line("dialect_default", f.dialect_default);
	line("abi", f.abi);
	line("arch_key", f.arch_key);
	for (unsigned long v : f.version)
		line("version", std::to_string(v));
	line("sizeof_dptr", std::to_string(f.sizeof_dptr));
	line("sizeof_ushort", std::to_string(f.sizeof_ushort));
	line("big_endian", f.big_endian ? "1" : "0");
	for (const feature_list *list : { &f.c_features, &f.cxx_features }) {
		line("features", std::to_string(list->features.size()));
		for (const auto &ft : list->features)
			line(ft.second ? "1" : "0", ft.first);
	}
	return t;
}

/* Where reading facts_text back has come to. */
struct cursor {
	const std::string &text;
	size_t at;
};

/* The line "name value", read as strictly as the probes' own strings. */
bool
cached_value(cursor &c, const char *name, std::string &v)
{
	const std::string &t = c.text;
	size_t n = strlen(name);

	if (t.compare(c.at, n, name) != 0 || c.at + n >= t.size() || t[c.at + n] != ' ')
		return false;
	size_t end = t.find('\n', c.at + n + 1);
	if (end == std::string::npos)
		return false;
	v = t.substr(c.at + n + 1, end - c.at - n - 1);
	c.at = end + 1;
	return std::all_of(v.begin(), v.end(), value_char);
}

bool
cached_number(cursor &c, const char *name, unsigned long &n)
{
	std::string v;

	/* Only as facts_text writes it: no leading zero, so one text per number. */
	if (!cached_value(c, name, v) || v.empty() || v.size() > 8 ||
	    v.find_first_not_of("0123456789") != std::string::npos || (v[0] == '0' && v.size() > 1))
		return false;
	n = strtoul(v.c_str(), nullptr, 10);
	return true;
}

bool
cached_features(cursor &c, feature_list &list)
{
	unsigned long n;

	if (!cached_number(c, "features", n))
		return false;
	for (unsigned long k = 0; k < n; k++) {
		std::string name;
		bool on = c.text.compare(c.at, 1, "1") == 0;
		if (!cached_value(c, on ? "1" : "0", name) || name.empty() ||
		    name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") !=
		    std::string::npos)
			return false;
		list.features.emplace_back(name, on);
	}
	return true;
}

bool
facts_from(const std::string &text, facts &f)
{
	cursor c = { text, 0 };
	unsigned long big;

	if (!cached_value(c, "compiler", f.compiler) ||
	    !cached_value(c, "platform", f.platform) || !cached_value(c, "arch", f.arch) ||
	    !cached_value(c, "dialect_default", f.dialect_default) ||
	    !cached_value(c, "abi", f.abi) || !cached_value(c, "arch_key", f.arch_key))
		return false;
	for (unsigned long &v : f.version)
		if (!cached_number(c, "version", v))
			return false;
	if (!cached_number(c, "sizeof_dptr", f.sizeof_dptr) ||
	    !cached_number(c, "sizeof_ushort", f.sizeof_ushort) ||
	    !cached_number(c, "big_endian", big) || big > 1)
		return false;
	f.big_endian = big == 1;
	return cached_features(c, f.c_features) && cached_features(c, f.cxx_features) &&
	    c.at == text.size();
}

/*
 * An entry: the magic line; the key and the facts, each after a line with
 * its length; then the checksum of all before it.  The whole key is kept,
 * so that two keys with one name only miss each other.
 */
std::string
cache_entry(const std::string &key, const facts &f)
{
	std::string payload = facts_text(f);
	std::string e = cache_magic + std::to_string(key.size()) + "\n" + key +
	    std::to_string(payload.size()) + "\n" + payload;
	return e + hex(fnv1a(e)) + "\n";
}

/* A counted part of an entry at `at`, or false. */
bool
counted(const std::string &e, size_t &at, std::string &part)
{
	size_t nl = e.find('\n', at);
	if (nl == std::string::npos || nl == at || nl - at > 8 ||
	    e.find_first_not_of("0123456789", at) != nl)
		return false;
	size_t n = strtoul(e.c_str() + at, nullptr, 10);
	if (n > e.size() - nl - 1)
		return false;
	part = e.substr(nl + 1, n);
	at = nl + 1 + n;
	return true;
}

bool
entry_facts(const std::string &e, const std::string &key, facts &f)
{
	size_t at = sizeof(cache_magic) - 1;
	std::string stored_key, payload;

	if (e.compare(0, at, cache_magic) != 0 || !counted(e, at, stored_key) ||
	    stored_key != key || !counted(e, at, payload) ||
	    e.size() != at + 17 || e.compare(at, 16, hex(fnv1a(e.substr(0, at)))) != 0 ||
	    e[at + 16] != '\n')
		return false;
	return facts_from(payload, f);
}

void
cache_warning(const std::string &what)
{
	if (cache_warned)
		return;
	cache_warned = true;
	fprintf(stderr, "ccfacts: cache %s; facts not kept\n", what.c_str());
}

/* An entry that the lookup would refuse to read is not written. */
std::string
too_large(size_t bytes)
{
	return "entry of " + std::to_string(bytes) + " bytes too large to read back (limit " +
	    std::to_string(cache_entry_max) + ")";
}

/*
 * Whether the answer can be kept under this key at all: not when something
 * it depends on could not be keyed, nor when the key alone fills an entry.
 */
bool
keyable(const std::string &key)
{
	if (!uncacheable.empty()) {
		cache_warning(uncacheable);
		return false;
	}
	if (static_cast<off_t>(key.size()) > cache_entry_max) {
		cache_warning(too_large(key.size()));
		return false;
	}
	return true;
}

/*
 * The cache directory, opened, or -1.  One that others may write is not
 * used: an entry planted there would be believed.
 */
int
open_cache_dir()
{
	int fd = open(cache_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd == -1)
		return -1;
	struct stat st;
	if (fstat(fd, &st) == -1 || st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
		(void)close(fd);
		cache_warning(cache_dir + (st.st_uid != geteuid() ? ": owned by another user"
		    : ": not private to its owner"));
		errno = EPERM;
		return -1;
	}
	return fd;
}

bool
cache_lookup(const std::string &key, facts &f)
{
	int dir = open_cache_dir();
	if (dir == -1)
		return false;
	std::string entry;
	bool hit = read_regular(dir, hex(fnv1a(key)), entry, cache_entry_max).empty() &&
	    entry_facts(entry, key, f);
	(void)close(dir);
	return hit;
}

/*
 * The directory the cache would be made in, when it belongs to another
 * user: root, run with that user's HOME (sudo keeps it), must not leave
 * directories the user cannot write, and could not use them anyway.
 */
std::string
foreign_parent(const std::string &path)
{
	if (geteuid() != 0)
		return "";	/* the kernel keeps others out of what is not theirs */
	std::string dir = path;
	struct stat st;
	while (!dir.empty() && stat(dir.c_str(), &st) == -1) {
		size_t slash = dir.rfind('/');
		dir = slash == std::string::npos ? "." : dir.substr(0, slash);
		if (slash == 0)
			dir = "/";
	}
	return !dir.empty() && stat(dir.c_str(), &st) == 0 && st.st_uid != 0 ? dir : "";
}

/* Makes the directory and any missing parent, private as XDG asks. */
bool
make_dirs(const std::string &path)
{
	for (size_t i = 1; i <= path.size(); i++)
		if (i == path.size() || path[i] == '/')
			if (mkdir(path.substr(0, i).c_str(), 0700) == -1 && errno != EEXIST)
				return false;
	return true;
}

/*
 * Written aside and renamed into place: a concurrent run sees the old
 * entry, the new one or none, never half of one.
 */
void
cache_store(const std::string &key, const facts &f)
{
	std::string entry = cache_entry(key, f);
	if (static_cast<off_t>(entry.size()) > cache_entry_max) {
		cache_warning(too_large(entry.size()));
		return;
	}
	if (cache_dir.empty()) {
		cache_warning("directory unknown (" + no_cache_dir + ")");
		return;
	}
	std::string foreign = foreign_parent(cache_dir);
	if (!foreign.empty()) {
		cache_warning(cache_dir + ": " + foreign + " belongs to another user");
		return;
	}
	if (!make_dirs(cache_dir)) {
		cache_warning(cache_dir + ": " + strerror(errno));
		return;
	}
	int dir = open_cache_dir();
	if (dir == -1) {
		if (errno != EPERM)
			cache_warning(cache_dir + ": " + strerror(errno));
		return;
	}
	(void)close(dir);

	std::string temp = cache_dir + "/.new.XXXXXX";
	int fd = mkostemp(&temp[0], O_CLOEXEC);
	if (fd == -1) {
		cache_warning(cache_dir + ": " + strerror(errno));
		return;
	}
	size_t done = 0;
	while (done < entry.size()) {
		ssize_t n = write(fd, entry.data() + done, entry.size() - done);
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += static_cast<size_t>(n);
	}
	int saved = errno;
	if (close(fd) == -1 && done == entry.size()) {
		saved = errno;
		done = 0;
	}
	if (done != entry.size() ||
	    rename(temp.c_str(), (cache_dir + "/" + hex(fnv1a(key))).c_str()) == -1) {
		if (done == entry.size())
			saved = errno;
		(void)unlink(temp.c_str());
		cache_warning(cache_dir + ": " + strerror(saved));
	}
}

/*
 * XDG: a relative XDG_CACHE_HOME is to be ignored; so is a relative HOME,
 * which would put the cache wherever the run happens to start.
 */
std::string
default_cache_dir()
{
	const char *xdg = getenv("XDG_CACHE_HOME");
	if (xdg != nullptr && xdg[0] == '/')
		return std::string(xdg) + "/ccfacts";
	const char *home = getenv("HOME");
	if (home != nullptr && home[0] == '/')
		return std::string(home) + "/.cache/ccfacts";

	auto state = [](const char *v) {
		return v == nullptr ? "unset" : *v == '\0' ? "empty" : "a relative path";
	};
	if (xdg == nullptr && home == nullptr)
		no_cache_dir = "neither XDG_CACHE_HOME nor HOME is set";
	else
		no_cache_dir = std::string("XDG_CACHE_HOME is ") + state(xdg) + " and HOME is " +
		    state(home);
	return "";
}

compiler
compiler_from(const char *what, const char *option, const char *env, const char *fallback)
{
	const char *v = option != nullptr ? option : getenv(env);
	compiler c;

	c.words = words_of(option != nullptr ? what : env, v != nullptr ? v : "");
	if (c.words.empty() && fallback != nullptr)
		c.words = { fallback };
	if (!c.words.empty())
		c.path = find_program(c.words.front());
	return c;
}

unsigned long
count_argument(const char *option, const char *what, const char *arg, unsigned long max)
{
	char *end;

	errno = 0;
	unsigned long n = strtoul(arg, &end, 10);
	if (errno != 0 || *end != '\0' || n == 0 || n > max ||
	    !isdigit(static_cast<unsigned char>(arg[0]))) {
		fprintf(stderr, "ccfacts: %s: not %s: %s\n", option, what, arg);
		usage();
	}
	return n;
}

void
parse_args(int argc, char *argv[])
{
	static const struct option longopts[] = {
		{ "cc", required_argument, nullptr, 'c' },
		{ "cxx", required_argument, nullptr, 'x' },
		{ "cflags", required_argument, nullptr, 'f' },
		{ "std-c", required_argument, nullptr, 's' },
		{ "std-cxx", required_argument, nullptr, 'S' },
		{ "probes", required_argument, nullptr, 'p' },
		{ "jobs", required_argument, nullptr, 'j' },
		{ "timeout", required_argument, nullptr, 't' },
		{ "json", no_argument, nullptr, 'J' },
		{ "cache-dir", required_argument, nullptr, 'C' },
		{ "no-cache", no_argument, nullptr, 'N' },
		{ "help", no_argument, nullptr, 'h' },
		{ "version", no_argument, nullptr, 'V' },
		{ nullptr, 0, nullptr, 0 },
	};
	const char *cc_word = nullptr, *cxx_word = nullptr, *dir = nullptr;
	const char *cache_option = nullptr;
	int ch;

	opterr = 0;
	while ((ch = getopt_long(argc, argv, ":", longopts, nullptr)) != -1) {
		switch (ch) {
		case 'c': cc_word = optarg; break;
		case 'x': cxx_word = optarg; break;
		case 'f': {
			auto w = words_of("--cflags", optarg);
			cflags.insert(cflags.end(), w.begin(), w.end());
			break;
		}
		case 's': std_c = optarg; break;
		case 'S': std_cxx = optarg; break;
		case 'p': dir = optarg; break;
		case 'j':
			jobs = count_argument("--jobs", "a job count", optarg, nprobes * 4);
			break;
		case 't':
			timeout_seconds = count_argument("--timeout", "a number of seconds",
			    optarg, 86400);
			break;
		case 'J': json_output = true; break;
		case 'C': cache_option = optarg; break;
		case 'N': use_cache = false; break;
		case 'h': help();
		case 'V': version();
		case ':':
			fprintf(stderr, "ccfacts: %s needs an argument\n", argv[optind - 1]);
			usage();
		default:
			fprintf(stderr, "ccfacts: unknown option %s\n", argv[optind - 1]);
			usage();
		}
	}
	if (optind != argc)
		usage();
	cache_dir = cache_option != nullptr ? cache_option : default_cache_dir();
	if (cache_option != nullptr && *cache_option == '\0')
		no_cache_dir = "--cache-dir is empty";
	cc = compiler_from("--cc", cc_word, "CC", "cc");
	/* $CXX goes with $CC: it is no match for a C compiler chosen here. */
	if (cxx_word != nullptr || cc_word == nullptr)
		cxx = compiler_from("--cxx", cxx_word, "CXX", nullptr);
	no_cxx = cxx.words.size() == 1 && cxx.words[0] == "none";
	if (cxx.words.empty())
		derive_cxx();
	if (jobs == 0)
		jobs = default_jobs();
	probe_dir = find_probes(dir);
	if (!has_probes(probe_dir))
		errx(1, "no probe sources in %s (set CCFACTS_PROBES or use --probes)",
		    probe_dir.c_str());
}

} // namespace

int
main(int argc, char *argv[])
{
	facts f;
	std::string key;

	parse_args(argc, argv);
	if (use_cache) {
		key = cache_key();
		use_cache = keyable(key);
	}
	if (use_cache) {
		if (cache_lookup(key, f)) {
			f.c_features.dialect = std_c;
			f.cxx_features.dialect = std_cxx;
			print_facts(f);
			return 0;
		}
	}
	catch_signals();
	make_workdir();
	run_builds();
	read_all(f);
	remove_workdir();	/* before output that a closed pipe may cut short */
	if (use_cache)
		cache_store(key, f);
	release_signals();
	print_facts(f);
	return 0;
}
