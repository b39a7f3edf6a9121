/* SPDX-License-Identifier: ISC */
struct S { S() {} S(S &&) = default; };
