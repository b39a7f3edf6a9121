/* SPDX-License-Identifier: ISC */
long long v = 0;
