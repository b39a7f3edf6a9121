/* SPDX-License-Identifier: ISC */
// An aggregate may have default member initialisers.
struct A { int x; int y = 2; };
A a = { 1 };
