/* SPDX-License-Identifier: ISC */
template <typename T = int> T zero() { return T(); }
int z = zero();
