/* SPDX-License-Identifier: ISC */
int f() { return [](int x) { return x + 1; }(1); }
