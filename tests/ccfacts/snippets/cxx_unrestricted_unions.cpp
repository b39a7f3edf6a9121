/* SPDX-License-Identifier: ISC */
// A union member with a non-trivial constructor.
struct S { S() {} int v; };
union U { S s; int i; U() {} };
