/* SPDX-License-Identifier: ISC */
struct S { int x = 1; };
