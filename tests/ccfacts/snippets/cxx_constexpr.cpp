/* SPDX-License-Identifier: ISC */
constexpr int sq(int x) { return x * x; }
int a[sq(2)];
