/* SPDX-License-Identifier: ISC */
struct S { int m; };
int n = sizeof(S::m);
