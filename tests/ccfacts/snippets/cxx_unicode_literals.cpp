/* SPDX-License-Identifier: ISC */
const char16_t *s = u"x";
const char32_t *t = U"x";
