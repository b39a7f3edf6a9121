/* SPDX-License-Identifier: ISC */
/*
 * ccfacts.h: what the parts of ccfacts share.  One `run` holds what this
 * run was asked and what it has made on the way; every part is handed the
 * run it works for.  The only state kept elsewhere is the process's own:
 * the signal masks and the signal that came (signals.cpp), and the run
 * whose directory an exit must remove (files.cpp).
 *
 * The parts, each in a file of its own:
 *   main.cpp       options, usage, help, the order of a run
 *   words.cpp      shell words: splitting and quoting
 *   toolchain.cpp  finding the compilers and the probe sources
 *   files.cpp      reading a file safely, the work directory
 *   signals.cpp    catching signals, and releasing them after the work
 *   pool.cpp       the builds, their deadlines, signals passed on to them
 *                  and what they leave running
 *   read.cpp       the probe table and what each probe's executable says
 *   output.cpp     the table and the JSON object
 *   key.cpp        the cache key: everything the answer depends on
 *   entry.cpp      a cache entry, written and read back
 *   cache.cpp      the cache directory: lookup and store
 */
#ifndef CCFACTS_H
#define CCFACTS_H

#include <sys/types.h>

#include <signal.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <utility>
#include <vector>

#include "probe_list.h"

enum class lang { c, cxx };

struct facts;

/*
 * A probe and how its executable is read: the reader stores what the
 * strings say into the facts, or ends the run with the reason it cannot.
 */
struct probe {
	const char *name;
	const char *source;
	lang language;
	bool dialect;		/* compiled under the chosen -std= */
	void (*read)(size_t i, const std::string &data, facts &f);
};

#define CCFACTS_COUNT_PROBE(id, name, source, language, dialect) +1
constexpr size_t nprobes = 0 CCFACTS_PROBES(CCFACTS_COUNT_PROBE);
#undef CCFACTS_COUNT_PROBE

/* In the order of the list of probe sources, which is the order errors are reported in. */
extern const probe probes[nprobes];

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

struct run {
	/* What is asked, set by the options and the environment before any work. */
	compiler cc, cxx;
	std::vector<std::string> cflags;
	bool no_cxx = false;		/* --cxx none: a toolchain without C++ */
	std::string std_c, std_cxx;
	std::string probe_dir;
	bool json_output = false;
	size_t jobs = 0;		/* 0 until set: one per processor we may use */
	unsigned long timeout_seconds = 120;
	bool use_cache = true;
	std::string cache_dir;		/* empty: none could be named */
	std::string no_cache_dir;	/* why none could be */

	/* What the work makes. */
	std::string workdir;
	build builds[nprobes];
	std::string uncacheable;	/* why this run's answer cannot be keyed */
	bool cache_warned = false;
};

/* A cache entry, and a response file the key reads, is no larger. */
constexpr off_t cache_entry_max = 1 << 20;

/* The characters of a value in an information string or a cache entry. */
inline bool
value_char(char c)
{
	return c >= ' ' && c <= '~' && c != ']';
}

/* main.cpp */
[[noreturn]] void usage();

/* words.cpp */
bool split_words(const std::string &s, std::vector<std::string> &out);
std::string shell_word(const std::string &w);
std::string joined(const std::vector<std::string> &w);

/* toolchain.cpp */
std::string find_program(const std::string &name);
std::string cxx_name_of(const std::string &c_name);
void derive_cxx(run &r);
bool has_probes(const std::string &dir);
std::string find_probes(const char *option);

/* files.cpp */
std::string read_regular(int dir, const std::string &path, std::string &data, off_t limit);
void make_workdir(run &r);
void remove_workdir(run &r);

/* signals.cpp */
extern volatile sig_atomic_t interrupted;	/* the signal that asks us to end; 0: none */
void catch_signals();
void release_signals(run &r);
const sigset_t &spawn_signal_mask();
const sigset_t &wait_signal_mask();

/* pool.cpp */
size_t default_jobs();
const compiler &compiler_of(const run &r, size_t i);
bool skipped(const run &r, size_t i);
void reap(run &r);
void signal_descendants(int sig);
void end_descendants(run &r);
void run_builds(run &r);

/* read.cpp */
[[noreturn]] void probe_failed(size_t i, const std::string &what);
void read_all(run &r, facts &f);

/* output.cpp */
std::string quoted(const std::string &s);
void print_facts(const run &r, const facts &f);

/* key.cpp */
uint64_t fnv1a(const std::string &s, uint64_t h = 0xcbf29ce484222325ULL);
std::string hex(uint64_t h);
std::string cache_key(run &r);

/* entry.cpp */
std::string cache_entry(const std::string &key, const facts &f);
bool entry_facts(const std::string &e, const std::string &key, facts &f);
bool same_facts(const facts &a, const facts &b);

/* cache.cpp */
bool keyable(run &r, const std::string &key);
bool cache_lookup(run &r, const std::string &key, facts &f);
void cache_store(run &r, const std::string &key, const facts &f);
std::string default_cache_dir(run &r);

#endif
