/* SPDX-License-Identifier: ISC */
template <typename T> class A { friend T; int secret; };
class B {};
A<B> a;
