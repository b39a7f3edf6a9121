/* SPDX-License-Identifier: ISC */
struct S { S() {} S(const S &) = delete; };
