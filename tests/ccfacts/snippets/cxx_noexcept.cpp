/* SPDX-License-Identifier: ISC */
void f() noexcept {}
