/* SPDX-License-Identifier: ISC */
/*
 * ccfacts' readers under libFuzzer: the bytes of a probe executable, or
 * of a cache entry, as a compiler or another run could leave them.
 *
 * The first byte picks the reader: 0 to 7 the probe of that index in
 * probes[] (the ABI probe of C++ checked against the C one read from the
 * same bytes), 8 a cache entry for the key "key".  The rest is the file.
 * ccfacts.cpp is compiled into this file; its exit() throws back to here
 * and its diagnostics go to /dev/null.
 *
 * Checked on every input the reader accepts:
 *  - the facts make a cache entry that reads back as the same facts, and
 *    that entry is the one made again from what was read back: a cache
 *    that cannot hold what the probes said would answer wrongly or never;
 *  - an entry accepted for "key" is refused for any other key;
 *  - the facts print, as the table and as JSON.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

[[noreturn]] static void fuzz_exit(int);
static FILE *fuzz_stderr;

#define main ccfacts_main
#define exit(s) fuzz_exit(s)
#include "ccfacts.cpp"
#undef main
#undef exit

struct Exited {
	int status;
};

static void
fuzz_exit(int status)
{
	throw Exited{status};
}

static bool
same(const facts &a, const facts &b)
{
	return a.compiler == b.compiler && a.platform == b.platform && a.arch == b.arch &&
	    a.dialect_default == b.dialect_default && a.abi == b.abi &&
	    a.arch_key == b.arch_key && a.version[0] == b.version[0] &&
	    a.version[1] == b.version[1] && a.version[2] == b.version[2] &&
	    a.sizeof_dptr == b.sizeof_dptr && a.sizeof_ushort == b.sizeof_ushort &&
	    a.big_endian == b.big_endian &&
	    a.c_features.features == b.c_features.features &&
	    a.cxx_features.features == b.cxx_features.features;
}

[[noreturn]] static void
fault(const char *what)
{
	fprintf(fuzz_stderr, "%s\n", what);
	abort();
}

static void
check_cache_round_trip(const facts &f)
{
	static const std::string key = "key";
	std::string entry = cache_entry(key, f);
	facts back;

	if (!entry_facts(entry, key, back))
		fault("facts that make a cache entry that is not read back");
	if (!same(f, back))
		fault("a cache entry read back as other facts");
	if (cache_entry(key, back) != entry)
		fault("facts read back make another entry");
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_stderr = stderr;
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static FILE *null = fopen("/dev/null", "w");
	facts f;

	if (size == 0)
		return -1;
	unsigned which = data[0];
	std::string bytes((const char *)data + 1, size - 1);

	if (which > nprobes)
		return -1;
	/* what ccfacts says about a malformed file is not ours to see */
	FILE *saved = stderr;
	stderr = null;
	try {
		if (which == nprobes) {
			if (!entry_facts(bytes, "key", f))
				throw Exited{1};
			facts other;
			if (entry_facts(bytes, "kez", other) || entry_facts(bytes, "", other))
				fault("an entry accepted for another key");
		} else if (which == 0) {
			no_other_strings(0, info_strings(0, bytes));
		} else if (which == 1) {
			read_ccid(1, bytes, f);
		} else if (which == 2 || which == 3) {
			read_abi(2, bytes, f, true);
			if (which == 3) {
				try {
					read_abi(3, bytes, f, false);
				} catch (const Exited &) {
					fault("an ABI probe that disagrees with itself");
				}
			}
		} else if (which == 4) {
			read_features(4, bytes, "C_FEATURE:", f.c_features);
		} else if (which == 5) {
			read_features(5, bytes, "CXX_FEATURE:", f.cxx_features);
		} else if (which == 6) {
			read_endian(6, bytes, f);
		} else {
			read_typesize(7, bytes, f);
		}
	} catch (const Exited &) {
		stderr = saved;
		return 0;
	}
	stderr = saved;
	check_cache_round_trip(f);
	json_output = which & 1;
	print_facts(f);
	return 0;
}
