/* SPDX-License-Identifier: ISC */
struct P { int x; int y; };
P p{ 1, 2 };
int i{ 3 };
