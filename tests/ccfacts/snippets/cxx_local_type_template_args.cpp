/* SPDX-License-Identifier: ISC */
template <typename T> void g(T) {}
void f() { struct L {}; g(L()); }
