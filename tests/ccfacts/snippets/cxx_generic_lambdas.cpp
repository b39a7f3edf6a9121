/* SPDX-License-Identifier: ISC */
int f() { return [](auto x) { return x; }(1); }
