/* SPDX-License-Identifier: ISC */
int i;
decltype(i) j = 0;
