/* SPDX-License-Identifier: ISC */
struct B { virtual void f(); };
struct D : B { void f() override; };
