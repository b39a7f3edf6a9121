/* SPDX-License-Identifier: ISC */
// abi-probe-cxx: data-pointer size and object format, as the C++ compiler sees them.
#include "abi-probe.h"

int
main(int argc, char *argv[])
{
	int require = 0;

	(void)argv;
	// argc modulo each array's length: unknown to the compiler, in bounds.
	require += info_sizeof_dptr[static_cast<unsigned>(argc) % sizeof(info_sizeof_dptr)];
	require += info_abi[static_cast<unsigned>(argc) % sizeof(info_abi)];
	return require;
}
