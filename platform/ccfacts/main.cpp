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
 *
 * This file: the options, usage and help, and the order of a run.
 */

#include <ctype.h>
#include <err.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

#include <cerrno>

#include "ccfacts.h"

namespace {

const char usage_text[] =
    "usage: ccfacts [--cc CC] [--cxx CXX] [--cflags FLAGS] [--std-c STD] [--std-cxx STD]\n"
    "               [--probes DIR] [--jobs N] [--timeout SECONDS] [--json]\n"
    "               [--cache-dir DIR | --no-cache]\n"
    "       ccfacts --help | --version\n";

} // namespace

[[noreturn]] void
usage()
{
	fputs(usage_text, stderr);
	exit(2);
}

namespace {

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
parse_args(run &r, int argc, char *argv[])
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
			r.cflags.insert(r.cflags.end(), w.begin(), w.end());
			break;
		}
		case 's': r.std_c = optarg; break;
		case 'S': r.std_cxx = optarg; break;
		case 'p': dir = optarg; break;
		case 'j':
			r.jobs = count_argument("--jobs", "a job count", optarg, nprobes * 4);
			break;
		case 't':
			r.timeout_seconds = count_argument("--timeout", "a number of seconds",
			    optarg, 86400);
			break;
		case 'J': r.json_output = true; break;
		case 'C': cache_option = optarg; break;
		case 'N': r.use_cache = false; break;
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
	r.cache_dir = cache_option != nullptr ? cache_option : default_cache_dir(r);
	if (cache_option != nullptr && *cache_option == '\0')
		r.no_cache_dir = "--cache-dir is empty";
	r.cc = compiler_from("--cc", cc_word, "CC", "cc");
	/* $CXX goes with $CC: it is no match for a C compiler chosen here. */
	if (cxx_word != nullptr || cc_word == nullptr)
		r.cxx = compiler_from("--cxx", cxx_word, "CXX", nullptr);
	r.no_cxx = r.cxx.words.size() == 1 && r.cxx.words[0] == "none";
	if (r.cxx.words.empty())
		derive_cxx(r);
	if (r.jobs == 0)
		r.jobs = default_jobs();
	r.probe_dir = find_probes(dir);
	if (!has_probes(r.probe_dir))
		errx(1, "no probe sources in %s (set CCFACTS_PROBES or use --probes)",
		    r.probe_dir.c_str());
}

} // namespace

int
main(int argc, char *argv[])
{
	run r;
	facts f;
	std::string key;

	parse_args(r, argc, argv);
	if (r.use_cache) {
		key = cache_key(r);
		r.use_cache = keyable(r, key);
	}
	if (r.use_cache) {
		if (cache_lookup(r, key, f)) {
			f.c_features.dialect = r.std_c;
			f.cxx_features.dialect = r.std_cxx;
			print_facts(r, f);
			return 0;
		}
	}
	catch_signals();
	make_workdir(r);
	run_builds(r);
	read_all(r, f);
	remove_workdir(r);	/* before output that a closed pipe may cut short */
	if (r.use_cache)
		cache_store(r, key, f);
	release_signals(r);
	print_facts(r, f);
	return 0;
}
