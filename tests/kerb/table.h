/* SPDX-License-Identifier: ISC */
/*
 * table.h: the records of the reference tables as mktables packs them,
 * little-endian; read by the accuracy tests and the benchmark.
 */
#ifndef KERB_TABLE_H
#define KERB_TABLE_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <vector>

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

/* The records of the tables that the environment variables name, in
 * turn; a table that is missing leaves the count short. */
template <class T> std::vector<T> load_records(std::initializer_list<const char *> envs)
{
	std::vector<T> v;
	for (const char *env : envs) {
		const char *path = std::getenv(env);
		FILE *f = path ? std::fopen(path, "rb") : nullptr;
		if (f == nullptr)
			continue;
		T rec;
		while (std::fread(&rec, sizeof rec, 1, f) == 1)
			v.push_back(rec);
		(void)std::fclose(f);
	}
	return v;
}

#endif
