/* SPDX-License-Identifier: ISC */
/*
 * ccid-probe: the identity of the C compiler that compiles it.
 *
 * Five information strings, each picked or computed by the preprocessor and
 * the compiler, never at run time.  Compiled with CCID_REDUCED defined it is
 * the reduced member, which carries no dialect string.
 */

/* Compiler identity.  Clang defines __GNUC__ too, so it is asked first. */
#if defined(__clang__) && defined(__apple_build_version__)
# define COMPILER_ID "AppleClang"
#elif defined(__clang__)
# define COMPILER_ID "Clang"
#elif defined(__INTEL_COMPILER)
# define COMPILER_ID "Intel"
#elif defined(__TINYC__)
# define COMPILER_ID "TinyCC"
#elif defined(__PCC__)
# define COMPILER_ID "PCC"
#elif defined(__GNUC__)
# define COMPILER_ID "GNU"
#else
# define COMPILER_ID ""
#endif

#if defined(__clang__)
# define VERSION_MAJOR __clang_major__
# define VERSION_MINOR __clang_minor__
# define VERSION_PATCH __clang_patchlevel__
#elif defined(__INTEL_COMPILER)
# define VERSION_MAJOR (__INTEL_COMPILER / 100)
# define VERSION_MINOR (__INTEL_COMPILER / 10 % 10)
# define VERSION_PATCH (__INTEL_COMPILER % 10)
#elif defined(__GNUC__)
# define VERSION_MAJOR __GNUC__
# define VERSION_MINOR __GNUC_MINOR__
# ifdef __GNUC_PATCHLEVEL__
#  define VERSION_PATCH __GNUC_PATCHLEVEL__
# else
#  define VERSION_PATCH 0
# endif
#else
# define VERSION_MAJOR 0
# define VERSION_MINOR 0
# define VERSION_PATCH 0
#endif

/* Operating system the compiler targets. */
#if defined(__linux__) || defined(__linux) || defined(linux)
# define PLATFORM_ID "Linux"
#elif defined(__FreeBSD__)
# define PLATFORM_ID "FreeBSD"
#elif defined(__NetBSD__)
# define PLATFORM_ID "NetBSD"
#elif defined(__OpenBSD__)
# define PLATFORM_ID "OpenBSD"
#elif defined(__APPLE__)
# define PLATFORM_ID "Darwin"
#elif defined(__CYGWIN__)
# define PLATFORM_ID "Cygwin"
#elif defined(_WIN32)
# define PLATFORM_ID "Windows"
#elif defined(__sun)
# define PLATFORM_ID "SunOS"
#else
# define PLATFORM_ID ""
#endif

/*
 * Architecture identifier: only compilers that name their target by one macro
 * family have one (Microsoft's _M_ macros).  GCC and Clang leave it empty.
 */
#if defined(_M_X64) || defined(_M_AMD64)
# define ARCH_ID "x64"
#elif defined(_M_IX86)
# define ARCH_ID "X86"
#elif defined(_M_ARM64)
# define ARCH_ID "ARM64"
#elif defined(_M_ARM)
# define ARCH_ID "ARMV7"
#else
# define ARCH_ID ""
#endif

/* C dialect in force: "90" when __STDC_VERSION__ is absent or says 1994. */
#if !defined(__STDC_VERSION__) || __STDC_VERSION__ < 199901L
# define DIALECT_ID "90"
#elif __STDC_VERSION__ < 201112L
# define DIALECT_ID "99"
#elif __STDC_VERSION__ < 201710L
# define DIALECT_ID "11"
#elif __STDC_VERSION__ == 201710L
# define DIALECT_ID "17"
#else
# define DIALECT_ID "23"
#endif

/* Digit of n at place p (1, 10, 100, ...) as a character constant. */
#define DIGIT(n, p) ((char)('0' + (n) / (p) % 10))
#define DIGITS8(n) \
	DIGIT(n, 10000000), DIGIT(n, 1000000), DIGIT(n, 100000), DIGIT(n, 10000), \
	DIGIT(n, 1000), DIGIT(n, 100), DIGIT(n, 10), DIGIT(n, 1)

#define COMPILER_TEXT "INFO:compiler[" COMPILER_ID "]"
#define PLATFORM_TEXT "INFO:platform[" PLATFORM_ID "]"
#define ARCH_TEXT "INFO:arch[" ARCH_ID "]"
#define DIALECT_TEXT "INFO:dialect_default[" DIALECT_ID "]"

const char *info_compiler = COMPILER_TEXT;

const char info_version[] = {
	'I', 'N', 'F', 'O', ':', 'c', 'o', 'm', 'p', 'i', 'l', 'e', 'r', '_',
	'v', 'e', 'r', 's', 'i', 'o', 'n', '[',
	DIGITS8(VERSION_MAJOR), '.', DIGITS8(VERSION_MINOR), '.',
	DIGITS8(VERSION_PATCH), ']', '\0'
};

const char *info_platform = PLATFORM_TEXT;
const char *info_arch = ARCH_TEXT;
#ifndef CCID_REDUCED
const char *info_language_dialect_default = DIALECT_TEXT;
#endif

/*
 * Each string is read at an index the compiler cannot know, so that no part
 * of it may be dropped.  The index is argc reduced modulo the string's own
 * element count: it stays inside the array and still reaches every element.
 */
#define AT(n) ((unsigned)argc % (unsigned)(n))

int
main(int argc, char *argv[])
{
	int require = 0;

	(void)argv;
	require += info_compiler[AT(sizeof(COMPILER_TEXT))];
	require += info_platform[AT(sizeof(PLATFORM_TEXT))];
	require += info_arch[AT(sizeof(ARCH_TEXT))];
	require += info_version[AT(sizeof(info_version))];
#ifndef CCID_REDUCED
	require += info_language_dialect_default[AT(sizeof(DIALECT_TEXT))];
#endif
	return require;
}
