/* SPDX-License-Identifier: ISC */
_Static_assert(sizeof(int) >= 2, "int has at least 16 bits");
int unused;
