/* SPDX-License-Identifier: ISC */
const char *name() { return __func__; }
