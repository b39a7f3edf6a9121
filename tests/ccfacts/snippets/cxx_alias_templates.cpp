/* SPDX-License-Identifier: ISC */
template <typename T> using ptr = T *;
ptr<int> p = 0;
