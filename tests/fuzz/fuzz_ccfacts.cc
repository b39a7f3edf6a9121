/* SPDX-License-Identifier: ISC */
/*
 * ccfacts' readers under libFuzzer: the bytes of a probe executable, or
 * of a cache entry, as a compiler or another run could leave them.
 *
 * The first byte picks the reader: 0 to 7 the reader of the probe of that
 * index in probes[] (the ABI probe of C++ checked against the C one read
 * from the same bytes), 8 a cache entry for the key "key".  The rest is the
 * file.  ccfacts' sources are built into this target with ccfacts-exit.h
 * forced in: their exit() throws back to here, and their diagnostics go to
 * /dev/null.
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

#include "ccfacts.h"

static FILE *fuzz_stderr;

struct Exited {
	int status;
};

void
fuzz_exit(int status)
{
	throw Exited{status};
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
	if (!same_facts(f, back))
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
		} else if (which == 3) {
			probes[2].read(2, bytes, f);
			try {
				probes[3].read(3, bytes, f);
			} catch (const Exited &) {
				fault("an ABI probe that disagrees with itself");
			}
		} else {
			probes[which].read(which, bytes, f);
		}
	} catch (const Exited &) {
		stderr = saved;
		return 0;
	}
	stderr = saved;
	check_cache_round_trip(f);
	run r;
	r.json_output = which & 1;
	print_facts(r, f);
	return 0;
}
