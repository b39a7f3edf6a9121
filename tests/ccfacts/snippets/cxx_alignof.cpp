/* SPDX-License-Identifier: ISC */
int a = alignof(double);
