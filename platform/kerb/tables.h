/* SPDX-License-Identifier: ISC */
/*
 * tables.h: the tables that platform/kerb/mkgrid generates into grid_table.cc
 * (those of exp.cc, from mkexp, are in exp_tables.h).
 */
#ifndef KERB_TABLES_H
#define KERB_TABLES_H

#include <cstdint>

#include "dd.h"

namespace kerb {

/* A grid of centres z0 = x0 + (i + ij) step, 0 <= i < nx, 0 <= j < ny:
 * cell c = nx j + i holds the Taylor coefficients c_n = w^(n)(z0) / n!
 * (on j = 0 those of w - exp(-z^2)) in ng[c] groups of four (c_4g,
 * c_4g+1, c_4g+2, c_4g+3, each as re, im), the highest group first,
 * ending at coef + 8 stride (c + 1): each cell takes `stride' groups, the
 * most any cell has, its own preceded by groups of zeros, so that a
 * series of any length up to the stride may be read as ending at the
 * cell's end; c0lo[2 c] is what rounding dropped from c_0 (re, im). */
struct grid {
	double x0, step, scale;	/* scale = 1 / step */
	int nx, ny, stride;
	const uint8_t *ng;
	const double *coef;
	const double *c0lo;
};
/* |x|, y < 8.125 by 1/4; 7.75 <= |x| < 40.25, y < 10.25 by 1/2. */
extern const grid box_grid, wing_grid;

/* A zero of w in the fourth quadrant, as double-double parts. */
struct zero {
	dd x, y;
};
constexpr int nzeros = 14;
extern const zero w_zeros[nzeros];
/* Coefficients c_2, c_3, ... of w about w_zeros[k] (re, im), from
 * zero_start[k] to zero_start[k + 1]. */
extern const uint16_t zero_start[nzeros + 1];
extern const double zero_coef[];

} // namespace kerb

#endif
