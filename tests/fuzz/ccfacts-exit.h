/* SPDX-License-Identifier: ISC */
/*
 * Forced into ccfacts' sources by the fuzzing build: exit() throws back to
 * the harness (fuzz_exit, fuzz_ccfacts.cc), so that a reader that refuses
 * its input ends the input, not the fuzzer.  <stdlib.h> and <cstdlib> come
 * first, so that their own declarations keep the name.
 */
#include <stdlib.h>

#ifdef __cplusplus
#include <cstdlib>

[[noreturn]] void fuzz_exit(int status);
#endif

#define exit(s) fuzz_exit(s)
