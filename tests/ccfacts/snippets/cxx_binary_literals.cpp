/* SPDX-License-Identifier: ISC */
int b = 0b101;
