/* SPDX-License-Identifier: ISC */
// decltype of a call does not need the returned class to be complete.
struct Incomplete;
Incomplete make();
typedef decltype(make()) result;
