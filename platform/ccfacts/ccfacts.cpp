/*
 * ccfacts: what a C and a C++ compiler know about themselves and their
 * target, learned by compiling and linking the probes with them and reading
 * the strings that the compilers put into the executables.  The probes are
 * never run, so any cross compiler can be asked, with or without an emulator.
 */

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <dirent.h>
#include <signal.h>
#include <err.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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

struct build {
	pid_t pid = -1;
	int status = 0;
	int spawn_errno = 0;
	std::string exe, log;
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

std::vector<std::string> cc_cmd, cxx_cmd, cflags;
bool no_cxx;			/* --cxx none: a toolchain without C++ */
std::string std_c, std_cxx;
std::string probe_dir;
std::string workdir;
bool json_output;
size_t jobs = nprobes;
build builds[nprobes];
volatile sig_atomic_t interrupted;

[[noreturn]] void
usage()
{
	fprintf(stderr, "usage: ccfacts [--cc CC] [--cxx CXX] [--cflags FLAGS] "
	    "[--std-c STD] [--std-cxx STD]\n"
	    "               [--probes DIR] [--jobs N] [--json]\n");
	exit(2);
}

std::vector<std::string>
words(const std::string &s)
{
	std::vector<std::string> w;
	size_t i = 0;

	for (;;) {
		i = s.find_first_not_of(" \t\n", i);
		if (i == std::string::npos)
			return w;
		size_t end = s.find_first_of(" \t\n", i);
		w.push_back(s.substr(i, end - i));
		i = end;
	}
}

std::string
joined(const std::vector<std::string> &w)
{
	std::string s;

	for (const auto &x : w)
		s += (s.empty() ? "" : " ") + x;
	return s;
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

void
remove_workdir()
{
	if (workdir.empty())
		return;
	DIR *d = opendir(workdir.c_str());
	if (d != nullptr) {
		struct dirent *e;
		while ((e = readdir(d)) != nullptr)
			if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
				(void)unlinkat(dirfd(d), e->d_name, 0);
		(void)closedir(d);
	}
	(void)rmdir(workdir.c_str());
	workdir.clear();
}

void
on_signal(int sig)
{
	interrupted = sig;
}

/*
 * An interrupt reaches the compilers too; ccfacts waits for them, removes
 * its directory and then dies of the same signal.
 */
void
catch_signals()
{
	struct sigaction sa;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal;
	(void)sigemptyset(&sa.sa_mask);
	for (int sig : { SIGINT, SIGTERM, SIGHUP })
		if (sigaction(sig, &sa, nullptr) == -1)
			err(1, "sigaction");
}

void
die_if_interrupted()
{
	int sig = interrupted;

	if (sig == 0)
		return;
	remove_workdir();
	(void)signal(sig, SIG_DFL);
	(void)raise(sig);
	_exit(128 + sig);
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
	if (atexit(remove_workdir) != 0)
		errx(1, "atexit failed");
}

std::vector<std::string>
command_of(size_t i)
{
	const probe &p = probes[i];
	std::vector<std::string> argv = p.language == lang::c ? cc_cmd : cxx_cmd;
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

void
start(size_t i)
{
	build &b = builds[i];
	b.exe = workdir + "/" + probes[i].name;
	b.log = b.exe + ".log";

	std::vector<std::string> args = command_of(i);
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(&a[0]);
	argv.push_back(nullptr);

	posix_spawn_file_actions_t fa;
	if (posix_spawn_file_actions_init(&fa) != 0 ||
	    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0) != 0 ||
	    posix_spawn_file_actions_addopen(&fa, 1, b.log.c_str(),
	    O_WRONLY | O_CREAT | O_TRUNC, 0600) != 0 ||
	    posix_spawn_file_actions_adddup2(&fa, 1, 2) != 0)
		errx(1, "posix_spawn_file_actions failed");
	b.spawn_errno = posix_spawnp(&b.pid, argv[0], &fa, nullptr, argv.data(), environ);
	if (b.spawn_errno != 0)
		b.pid = -1;
	(void)posix_spawn_file_actions_destroy(&fa);
}

bool
skipped(size_t i)
{
	return no_cxx && probes[i].language == lang::cxx;
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

	size_t next = 0, running = 0;
	while (next < order.size() || running > 0) {
		while (next < order.size() && running < jobs && interrupted == 0) {
			start(order[next++]);
			if (builds[order[next - 1]].pid > 0)
				running++;
		}
		if (running == 0)
			break;
		int status;
		pid_t pid = waitpid(-1, &status, 0);
		if (pid == -1) {
			if (errno == EINTR)
				continue;
			err(1, "waitpid");
		}
		for (auto &b : builds)
			if (b.pid == pid) {
				b.status = status;
				running--;
			}
	}
	die_if_interrupted();
}

/* The whole file; false with errno set when it cannot be read. */
bool
read_file(const std::string &path, std::string &data)
{
	data.clear();
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd == -1)
		return false;
	char buf[65536];
	ssize_t n;
	while ((n = read(fd, buf, sizeof(buf))) != 0) {
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1) {
			int saved = errno;
			(void)close(fd);
			errno = saved;
			return false;
		}
		data.append(buf, static_cast<size_t>(n));
	}
	(void)close(fd);
	return true;
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
	const std::string compiler =
	    (probes[i].language == lang::c ? cc_cmd : cxx_cmd).front();

	if (b.spawn_errno == ENOENT)
		probe_failed(i, "compiler not found: " + compiler);
	if (b.spawn_errno != 0)
		probe_failed(i, "cannot run " + compiler + ": " + strerror(b.spawn_errno));
	if (WIFEXITED(b.status) && WEXITSTATUS(b.status) == 0)
		return;

	std::string log;
	(void)read_file(b.log, log);	/* without its log the status still tells */
	std::string how = WIFEXITED(b.status)
	    ? "status " + std::to_string(WEXITSTATUS(b.status))
	    : "signal " + std::to_string(WTERMSIG(b.status));
	fprintf(stderr, "ccfacts: %s: does not compile or link with %s (%s): %s\n",
	    probes[i].name, compiler.c_str(), how.c_str(), first_error(log).c_str());
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
		if (!read_file(builds[i].exe, data))
			probe_failed(i, std::string("cannot read the executable: ") +
			    strerror(errno));
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
	printf("%-24s %s\n", "C compiler", joined(cc_cmd).c_str());
	printf("%-24s %s\n", "C++ compiler", no_cxx ? "none" : joined(cxx_cmd).c_str());
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

std::string
quoted(const std::string &s)
{
	std::string q = "\"";
	for (unsigned char c : s) {
		if (c == '"' || c == '\\') {
			q += '\\';
			q += static_cast<char>(c);
		} else if (c < 0x20 || c == 0x7f) {	/* UTF-8 passes through */
			char buf[8];
			(void)snprintf(buf, sizeof(buf), "\\u%04x", c);
			q += buf;
		} else {
			q += static_cast<char>(c);
		}
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
	printf("  \"cc\": %s,\n", quoted_list(cc_cmd).c_str());
	printf("  \"cxx\": %s,\n", no_cxx ? "null" : quoted_list(cxx_cmd).c_str());
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

std::vector<std::string>
compiler_from(const char *option, const char *env, const char *fallback)
{
	const char *v = option != nullptr ? option : getenv(env);
	std::vector<std::string> w = words(v != nullptr ? v : "");
	if (w.empty())
		w = words(fallback);
	return w;
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
		{ "json", no_argument, nullptr, 'J' },
		{ nullptr, 0, nullptr, 0 },
	};
	const char *cc = nullptr, *cxx = nullptr, *dir = nullptr;
	int ch;

	opterr = 0;
	while ((ch = getopt_long(argc, argv, ":", longopts, nullptr)) != -1) {
		switch (ch) {
		case 'c': cc = optarg; break;
		case 'x': cxx = optarg; break;
		case 'f': {
			auto w = words(optarg);
			cflags.insert(cflags.end(), w.begin(), w.end());
			break;
		}
		case 's': std_c = optarg; break;
		case 'S': std_cxx = optarg; break;
		case 'p': dir = optarg; break;
		case 'j': {
			char *end;
			errno = 0;
			unsigned long n = strtoul(optarg, &end, 10);
			if (errno != 0 || *end != '\0' || n == 0 || n > nprobes * 4)
				errx(2, "--jobs: not a job count: %s", optarg);
			jobs = n;
			break;
		}
		case 'J': json_output = true; break;
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
	cc_cmd = compiler_from(cc, "CC", "cc");
	cxx_cmd = compiler_from(cxx, "CXX", "c++");
	no_cxx = cxx_cmd.size() == 1 && cxx_cmd[0] == "none";
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

	parse_args(argc, argv);
	catch_signals();
	make_workdir();
	run_builds();
	read_all(f);
	remove_workdir();	/* before output that a closed pipe may cut short */
	if (json_output)
		print_json(f);
	else
		print_table(f);
	if (fflush(stdout) != 0 || ferror(stdout))
		err(1, "stdout");
	return 0;
}
