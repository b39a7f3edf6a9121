/* SPDX-License-Identifier: ISC */
const char *s = R"(a\b)";
