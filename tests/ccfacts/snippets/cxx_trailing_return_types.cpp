/* SPDX-License-Identifier: ISC */
auto f() -> int { return 1; }
