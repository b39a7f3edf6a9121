/* SPDX-License-Identifier: ISC */
auto f() { return 1; }
