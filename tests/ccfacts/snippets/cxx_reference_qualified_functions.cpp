/* SPDX-License-Identifier: ISC */
struct S { int f() & { return 1; } };
