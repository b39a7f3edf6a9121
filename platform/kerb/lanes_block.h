/* SPDX-License-Identifier: ISC */
/*
 * lanes_block.h: what w_of_z_n and voigt_n share across points on x86-64
 * (arrays.cc): the blocks, the queue of points outside the groups of
 * four, and the lane-by-lane forms of the single call's choices.
 */
#ifndef KERB_LANES_BLOCK_H
#define KERB_LANES_BLOCK_H

#include <cstddef>
#include <cstdint>

#include "internal.h"
#include "paths.h"
#include "lanes.h"

#pragma GCC visibility push(hidden)
/* Four doubles pass only between inline functions here, all inline in
 * the arrays' loops (arrays.cc): no call made across the library's
 * interface passes them. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kerb {

/*
 * The queue: the points of a block outside the groups whose single call
 * sums the grid series.  Each point's series goes into its grid's batch,
 * and its exp(-z^2), where the single call takes that by the tables (on
 * the grids' rows along the real axis, and in the reflection), into the
 * block's exponentials; both are then computed four to a group (lanes.h),
 * a group short of four filled with copies of its first argument, whose
 * results are dropped, and each point finishes, in the order of the
 * array, by the single call's steps after its series.
 */
constexpr size_t block = batch_max;

/* How a queued point goes: the grid series above the axis, with
 * exp(-z^2) added or not, or the lower box's reflection. */
enum way : uint32_t { series_only, series_exp, reflected };

/* A queued point in one word, one store: its place in the block, in its
 * grid's batch and among the exponentials, the grid and its way. */
constexpr uint32_t entry(size_t i, size_t slot, size_t e, bool wing, way how)
{
	return static_cast<uint32_t>(i | slot << 8 | e << 16 | size_t(wing) << 24 | size_t(how) << 25);
}
static_assert(block <= 256, "a place in the block is a byte");

struct queue {
	uint32_t entries[block];
	size_t ne;
	double ex[block + nlanes], exl[block + nlanes], ey[block + nlanes], eyl[block + nlanes];
	double er[block + nlanes], ei[block + nlanes];
	grid_batch box, wings;
};

/* Whether the single call's upper_t takes the grid series for x, y >= 0
 * (*g the grid), and whether it adds exp(-z^2) by the tables on the real
 * axis's row (upper_t's and grid_taylor_t's choices). */
[[gnu::always_inline]] inline bool grid_path(dd x, dd y, const grid **g, bool *add)
{
	double r;
	region where = region_of(x.hi, y.hi);
	if (!(where == region::wing || (where == region::box && !about_origin(x.hi, y.hi, &r))))
		return false;
	*g = where == region::box ? &box_grid : &wing_grid;
	*add = grid_row(**g, y.hi) == 0 && (y.hi < 0x1p-1000
		|| (x.hi - y.hi) * (x.hi + y.hi) < 50 - 0.6931 * exponent_of(y.hi));
	return true;
}

/* The queued exponentials, four at a time; the arguments' tails only
 * if `tails' (else zero). */
template <bool tails>
[[gnu::always_inline]] inline void run_exp(queue *q)
{
	size_t n = q->ne;
	fill_group<tails>(n, q->ex, q->exl, q->ey, q->eyl);
	for (size_t k = 0; k < n; k += nlanes) {
		lanes re, im;
		exp_mz2_lanes<tails>(load_lanes(q->ex + k), tails ? load_lanes(q->exl + k) : splat(0),
			load_lanes(q->ey + k), tails ? load_lanes(q->eyl + k) : splat(0), &re, &im);
		store_lanes(q->er + k, re);
		store_lanes(q->ei + k, im);
	}
}

/* The queue's exponentials and its batches' series, with the counts
 * kept apart while it filled. */
template <bool tails>
[[gnu::always_inline]] inline void run_queue(queue *q, size_t ne, size_t nbox,
	size_t nwing)
{
	q->ne = ne;
	q->box.n = nbox;
	q->wings.n = nwing;
	run_exp<tails>(q);
	if (nbox)
		series_batch<tails>(box_grid, &q->box);
	if (nwing)
		series_batch<tails>(wing_grid, &q->wings);
}

/* Four lanes' masks: each all ones or zero. */
[[gnu::always_inline]] inline bool all_set(lane_mask m)
{
	return (m[0] & m[1] & m[2] & m[3]) != 0;
}

/* exp(-z^2) is added to the series of x + iy (x, y >= 0) of grid g
 * (grid_path's test, lane by lane; exponent_of from the bits). */
[[gnu::always_inline]] inline lane_mask adds_exp(const grid &g, lanes x, lanes y)
{
	lane_bits e = ((lane_bits)y >> 52 & 0x7ff) | 0x4330000000000000;
	lanes expo = ((lanes)e - 0x1p52) - 1023;
	return on_row0(g, y) & ((y < 0x1p-1000) | ((x - y) * (x + y) < 50 - 0.6931 * expo));
}

} // namespace kerb

#pragma GCC diagnostic pop
#pragma GCC visibility pop

#endif
