/* SPDX-License-Identifier: ISC */
void f(int &&) {}
