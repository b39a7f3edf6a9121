/* SPDX-License-Identifier: ISC */
struct S { S() = default; int v; };
