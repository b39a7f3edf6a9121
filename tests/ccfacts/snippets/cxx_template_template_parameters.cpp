/* SPDX-License-Identifier: ISC */
template <template <typename> class C> struct W { C<int> c; };
template <typename T> struct Box { T v; };
W<Box> w;
