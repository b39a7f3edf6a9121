/* SPDX-License-Identifier: ISC */
int *p = nullptr;
