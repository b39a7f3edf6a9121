/* SPDX-License-Identifier: ISC */
struct S { explicit operator bool() const { return true; } };
