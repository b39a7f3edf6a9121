/* SPDX-License-Identifier: ISC */
/*
 * endian-probe: the target's byte order.  Two texts are packed two characters
 * to an unsigned 16-bit element, one with the first character in the low
 * byte and one with it in the high byte; the compiler lays the elements out
 * in the target's order, so only the matching text reads plain in the file.
 */

/* "THIS IS LITTLE ENDIAN.": first character of each pair in the low byte. */
const unsigned short info_little[] = {
	0x4854, 0x5349, 0x4920, 0x2053, 0x494C, 0x5454, 0x454C, 0x4520,
	0x444E, 0x4149, 0x2E4E, 0x0000
};

/* "THIS IS BIG ENDIAN..": first character of each pair in the high byte. */
const unsigned short info_big[] = {
	0x5448, 0x4953, 0x2049, 0x5320, 0x4249, 0x4720, 0x454E, 0x4449,
	0x414E, 0x2E2E, 0x0000
};

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

int
main(int argc, char *argv[])
{
	int require = 0;

	(void)argv;
	/* argc modulo each element count: unknown to the compiler, in bounds. */
	require += info_little[(unsigned)argc % COUNT(info_little)];
	require += info_big[(unsigned)argc % COUNT(info_big)];
	return require;
}
