/* SPDX-License-Identifier: ISC */
enum E : int;
enum E : int { a, b };
