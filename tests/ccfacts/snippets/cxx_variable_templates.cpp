/* SPDX-License-Identifier: ISC */
template <typename T> const T zero = T(0);
int z = zero<int>;
