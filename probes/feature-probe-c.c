/* SPDX-License-Identifier: ISC */
/*
 * feature-probe, C list: which of four language features the C compiler
 * supports under the dialect in force, chosen by the preprocessor from
 * __STDC_VERSION__.  Function prototypes are in every standard C; restrict
 * and variadic macros came with C99, _Static_assert with C11.  GCC releases
 * older than these features (before 3.0 for C99, before 4.6 for C11) are
 * not taken into account: they cannot compile the rest of the tree either.
 */

#if defined(__STDC_VERSION__)
# define C99 (__STDC_VERSION__ >= 199901L)
# define C11 (__STDC_VERSION__ >= 201112L)
#else
# define C99 0
# define C11 0
#endif
#define C90 1

const char features[] =
"\n"
"C_FEATURE:"
#if C90
"1"
#else
"0"
#endif
"c_function_prototypes\n"
"C_FEATURE:"
#if C99
"1"
#else
"0"
#endif
"c_restrict\n"
"C_FEATURE:"
#if C11
"1"
#else
"0"
#endif
"c_static_assert\n"
"C_FEATURE:"
#if C99
"1"
#else
"0"
#endif
"c_variadic_macros\n"
;

int
main(int argc, char *argv[])
{
	(void)argv;
	/* argc modulo the length: unknown to the compiler, always in bounds. */
	return features[(unsigned)argc % sizeof(features)];
}
