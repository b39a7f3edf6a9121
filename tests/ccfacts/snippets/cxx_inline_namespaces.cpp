/* SPDX-License-Identifier: ISC */
inline namespace v1 { int x; }
