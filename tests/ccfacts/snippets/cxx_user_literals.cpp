/* SPDX-License-Identifier: ISC */
unsigned long long operator"" _k(unsigned long long v) { return v * 1000; }
unsigned long long n = 2_k;
