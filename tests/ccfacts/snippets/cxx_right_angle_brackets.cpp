/* SPDX-License-Identifier: ISC */
template <typename T> struct A { T v; };
A<A<int>> x;
