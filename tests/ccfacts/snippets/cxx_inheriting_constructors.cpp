/* SPDX-License-Identifier: ISC */
struct B { B(int) {} };
struct D : B { using B::B; };
D d(1);
