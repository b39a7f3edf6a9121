/* SPDX-License-Identifier: ISC */
static_assert(sizeof(int) >= 2, "int has at least 16 bits");
