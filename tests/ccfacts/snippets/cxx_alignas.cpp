/* SPDX-License-Identifier: ISC */
struct alignas(8) S { int x; };
