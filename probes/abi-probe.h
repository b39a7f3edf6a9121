/* SPDX-License-Identifier: ISC */
/*
 * abi-probe.h: the two strings that the C and the C++ ABI probes share, so
 * that both carry the same bytes on the same target.
 *
 * info_sizeof_dptr has no storage-class keyword: external linkage in C,
 * internal in C++, where a namespace-scope const is internal by default.
 */
#ifndef ABI_PROBE_H
#define ABI_PROBE_H

#define DPTR_DIGIT(p) ((char)('0' + sizeof(void *) / (p) % 10))

const char info_sizeof_dptr[] = {
	'I', 'N', 'F', 'O', ':', 's', 'i', 'z', 'e', 'o', 'f', '_', 'd', 'p',
	't', 'r', '[', DPTR_DIGIT(10), DPTR_DIGIT(1), ']', '\0'
};

/* The object-file format; every target the GNU and Clang compilers build
 * for here is ELF, which they announce with __ELF__. */
#if defined(__ELF__)
# define ABI_ID "ELF"
#elif defined(__MACH__)
# define ABI_ID "MCH"
#elif defined(_WIN32) || defined(__CYGWIN__)
# define ABI_ID "PEC"
#else
# define ABI_ID "UNK"
#endif

static const char info_abi[] = "INFO:abi[" ABI_ID "]";

#endif
