/* SPDX-License-Identifier: ISC */
#include <initializer_list>

std::initializer_list<int> l = { 1, 2, 3 };
