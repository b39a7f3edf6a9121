/* SPDX-License-Identifier: ISC */
/*
 * Forced into builtin.cpp by the fuzzing build: the built-in open() calls
 * fuzz_open (fuzz_vexil.cc), which keeps scripts from writing anywhere but
 * a scratch file.  <fcntl.h> comes first, so that its own declarations
 * (open is open64 by asm label with 64-bit offsets) keep their names.
 */
#include <fcntl.h>

#ifdef __cplusplus
extern "C"
#endif
int fuzz_open(const char *path, int flags, ...);

#define open fuzz_open
