/* SPDX-License-Identifier: ISC */
/* abi-probe-c: data-pointer size and object format, as the C compiler sees them. */
#include "abi-probe.h"

int
main(int argc, char *argv[])
{
	int require = 0;

	(void)argv;
	/* argc modulo each array's length: unknown to the compiler, in bounds. */
	require += info_sizeof_dptr[(unsigned)argc % sizeof(info_sizeof_dptr)];
	require += info_abi[(unsigned)argc % sizeof(info_abi)];
	return require;
}
