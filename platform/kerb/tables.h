/*
 * tables.h: the tables that platform/kerb/mkgrid generates into grid.cc.
 */
#ifndef KERB_TABLES_H
#define KERB_TABLES_H

#include <cstdint>

#include "dd.h"

namespace kerb {

/* Centres z0 = (i + ij) / 4, 0 <= i, j < grid_side; cell (i, j) holds the
 * Taylor coefficients c_n = w^(n)(z0) / n! in groups of four (c_4g,
 * c_4g+1, c_4g+2, c_4g+3, each as re, im), the highest group first, from
 * group grid_start[grid_side j + i] up to the next cell's. */
constexpr int grid_side = 33;
constexpr double grid_step = 0.25, grid_scale = 4;
extern const uint16_t grid_start[grid_side * grid_side + 1];
extern const double grid_coef[];

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
