/* SPDX-License-Identifier: ISC */
/*
 * typesize-probe: the size of one type, as the compiler computes it, and the
 * architecture key on targets where the compiler names one.
 *
 * TYPE is the probed type (unsigned short unless the build says otherwise).
 * The key names the first macro of the list below that the compiler defines;
 * the list holds the macros that tell apart targets a single compiler may
 * build for with different type sizes: the ARM architecture levels and the
 * two x86 widths.  MIPS compilers define none of them.
 */
#ifndef TYPE
# define TYPE unsigned short
#endif

#define SIZE_DIGIT(p) ((char)('0' + sizeof(TYPE) / (p) % 10))

#define KEY_OPEN ' ', 'k', 'e', 'y', '[', '_', '_'
#define KEY_CLOSE '_', '_', ']',
#if defined(__aarch64__)
# define KEY_PART KEY_OPEN, 'a', 'a', 'r', 'c', 'h', '6', '4', KEY_CLOSE
#elif defined(__ARM_ARCH_8A__)
# define KEY_PART KEY_OPEN, 'A', 'R', 'M', '_', 'A', 'R', 'C', 'H', '_', '8', 'A', KEY_CLOSE
#elif defined(__ARM_ARCH_7A__)
# define KEY_PART KEY_OPEN, 'A', 'R', 'M', '_', 'A', 'R', 'C', 'H', '_', '7', 'A', KEY_CLOSE
#elif defined(__ARM_ARCH_7S__)
# define KEY_PART KEY_OPEN, 'A', 'R', 'M', '_', 'A', 'R', 'C', 'H', '_', '7', 'S', KEY_CLOSE
#elif defined(__ARM_ARCH_7M__)
# define KEY_PART KEY_OPEN, 'A', 'R', 'M', '_', 'A', 'R', 'C', 'H', '_', '7', 'M', KEY_CLOSE
#elif defined(__ARM_ARCH_6__)
# define KEY_PART KEY_OPEN, 'A', 'R', 'M', '_', 'A', 'R', 'C', 'H', '_', '6', KEY_CLOSE
#elif defined(__x86_64__)
# define KEY_PART KEY_OPEN, 'x', '8', '6', '_', '6', '4', KEY_CLOSE
#elif defined(__i386__)
# define KEY_PART KEY_OPEN, 'i', '3', '8', '6', KEY_CLOSE
#else
# define KEY_PART
#endif

char info_size[] = {
	'I', 'N', 'F', 'O', ':', 's', 'i', 'z', 'e', '[',
	SIZE_DIGIT(10000), SIZE_DIGIT(1000), SIZE_DIGIT(100), SIZE_DIGIT(10),
	SIZE_DIGIT(1), ']', KEY_PART '\0'
};

int
main(int argc, char *argv[])
{
	int require = 0;

	(void)argv;
	/* argc modulo the length: unknown to the compiler, always in bounds. */
	require += info_size[(unsigned)argc % sizeof(info_size)];
	return require;
}
