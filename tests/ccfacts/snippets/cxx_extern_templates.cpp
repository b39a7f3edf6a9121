/* SPDX-License-Identifier: ISC */
template <typename T> struct X { T v; };
extern template struct X<int>;
