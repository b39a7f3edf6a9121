/* SPDX-License-Identifier: ISC */
int f() { int a = 1; return [b = a]() { return b; }(); }
