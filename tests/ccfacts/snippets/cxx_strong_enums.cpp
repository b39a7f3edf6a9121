/* SPDX-License-Identifier: ISC */
enum class C { a, b };
C c = C::a;
