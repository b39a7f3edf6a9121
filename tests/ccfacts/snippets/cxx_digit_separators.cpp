/* SPDX-License-Identifier: ISC */
int m = 1'000'000;
