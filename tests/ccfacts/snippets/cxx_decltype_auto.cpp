/* SPDX-License-Identifier: ISC */
int i;
decltype(auto) j = i;
