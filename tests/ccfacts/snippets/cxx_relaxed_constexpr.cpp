/* SPDX-License-Identifier: ISC */
// A loop and a mutated local inside a constexpr function.
constexpr int tri(int n) { int s = 0; for (int i = 0; i < n; ++i) s += i; return s; }
int a[tri(4)];
