/* SPDX-License-Identifier: ISC */
int f() { auto x = 1; return x; }
