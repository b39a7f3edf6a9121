/* SPDX-License-Identifier: ISC */
/*
 * table.h: the records of the reference tables as mktables packs them,
 * little-endian; read by the accuracy tests and the benchmark.
 */
#ifndef KERB_TABLE_H
#define KERB_TABLE_H

#include <cstdint>

#pragma pack(push, 4)
struct WPoint {
	double x, y, re, im;
	float re_lo, im_lo;
	uint32_t set;
};
#pragma pack(pop)
static_assert(sizeof(WPoint) == 44, "record layout");

struct VPoint {
	double x, sigma, gamma, v;
	float v_lo;
	uint32_t set;
};
static_assert(sizeof(VPoint) == 40, "record layout");

#endif
