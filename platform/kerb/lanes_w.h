/* SPDX-License-Identifier: ISC */
/*
 * lanes_w.h: w_of_z_n across points on x86-64 (arrays.cc): the groups of
 * four points in a row that take one path, the queue, the lower box's
 * careful reflections and zeros' discs.
 */
#ifndef KERB_LANES_W_H
#define KERB_LANES_W_H

#include <cmath>
#include <cstddef>

#include <complex.h>
#undef complex
#undef I

#include "lanes_block.h"
#include "lanes_careful.h"

/* Hidden, and four doubles passed between inline functions alone (see
 * lanes_block.h). */
#pragma GCC visibility push(hidden)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kerb {

/*
 * The lower box's reflection with exp(-z^2) and w(-z)'s series given:
 * lower_box_t's steps after them, the same operations in the same order
 * (kerb-arrays holds the two to the same bits).  A copy rather than one
 * function both call: with the single call going through it, the lower
 * box measured 2 % slower in bench/kerb (45.7 ns against 44.8), however
 * it was passed.
 */
[[gnu::always_inline]] inline void lower_with(double x, double y, double er, double ei,
	double ur, double ui, double *re, double *im)
{
	double ay = -y;
	ui *= -std::copysign(1.0, x);
	double f = 1 + (grid_row(box_grid, ay) != 0);
	er *= f;
	ei *= f;
	*re = er - ur;
	*im = ei - ui;
	if ((int)cancels(er, ur, *re, reflection_keeps) |
	    (int)cancels(ei, ui, *im, reflection_keeps))
		reflect_careful(x, y, re, im);
}

/* The single call's path for the points that are not queued, out of
 * line: inline, its registers would crowd out the loop's counters. */
[[gnu::noinline]] inline void w_single(double x, double y, double *re, double *im)
{
	w_point_t<false>(x, y, re, im);
}

/* Which of four points ax + iy (y < 0) lie in the disc of a zero, and
 * each lane's zero (near_zero in internal.h, lane by lane). */
[[gnu::always_inline]] inline lane_mask near_zero_lanes(lanes ax, lanes y, int zi[nlanes])
{
	typedef int32_t quad_int __attribute__((vector_size(4 * nlanes)));
	quad_int z = __builtin_convertvector(ax * -y * rpi_hi + 0.625, quad_int) - 1;
	z = z < 0 ? 0 : z;
	z = z > nzeros - 1 ? nzeros - 1 : z;
	/* Each lane's zero, {x.hi, x.lo, y.hi, y.lo}, in columns. */
	const double *row[nlanes];
	for (int l = 0; l < nlanes; l++) {
		zi[l] = z[l];
		row[l] = &w_zeros[z[l]].x.hi;
	}
	lanes zc[4];
	half_group(row, 0, zc);
	lanes tx = ax - zc[0], ty = y - zc[2];
	lanes r2 = zc[0] * zc[0] + zc[2] * zc[2];
	return (tx * tx + ty * ty) * r2 < 0.09;
}

/*
 * A group of four points in a row of the array that take one path: the
 * grid series above the axis in one grid, or the lower box's reflection.
 * Found in a first pass over a block, where each is located; summed in
 * a second, where the loads of its coefficients need not wait on the
 * locating.
 */
enum class kind : unsigned char { box, wing, lower };

struct fast_group {
	size_t i;			/* its first point's place */
	kind how;
	int most;			/* its longest series, in groups */
	int ng[nlanes];
	const double *cp[nlanes];
	lanes x, y, tr, ti;
	lane_mask add;			/* where exp(-z^2) is added (above) */
	lane_mask zero;			/* in a zero's disc (below), and which */
	int z[nlanes];
	bool any;			/* where any lane adds it */
};

/*
 * Whether the four points x + iy take one path (*g its grid), and which:
 * the single call's choices (w_finite_t, upper_t, grid_path), lane by
 * lane.  A group with a lane near the origin (the series about 0) goes
 * point by point; in the lower box a lane in the disc of a zero is marked
 * (f->zero), for the series about the zero after the group's.
 */
[[gnu::always_inline]] inline bool classify(lanes x, lanes y, fast_group *f, const grid **g)
{
	lanes ax = abs_lanes(x), ay = abs_lanes(y);
	const lanes inf = splat(INFINITY);
	lane_mask fin = (ax < inf) & (ay < inf);
	lanes mx = ax > ay ? ax : ay;
	lane_mask box = fin & (ax < box_end) & (ay < box_end) & (mx >= taylor_rgrid);
	lane_mask up = y >= 0;
	if (all_set(box & up)) {
		f->how = kind::box;
		*g = &box_grid;
	} else if (all_set(box & ~up)) {
		/* A lane in a zero's disc is the single call's series about
		 * the zero, done after the group's. */
		f->zero = near_zero_lanes(ax, y, f->z);
		f->how = kind::lower;
		*g = &box_grid;
	} else if (all_set(fin & up & ~((ax < box_end) & (ay < box_end)) & (ax >= wing_xmin)
			   & (ax < wing_xmax) & (ay < wing_ymax))) {
		f->how = kind::wing;
		*g = &wing_grid;
	} else {
		return false;
	}
	return true;
}

/*
 * The lower box's points whose reflection cancels, gathered across
 * blocks and done four at a time (lanes_careful.h); a point those lanes
 * do not take, and the last few, by the single call's reflect_careful.
 * Each point's input is kept here: by then its place in the array may
 * hold its fast result, w being z.
 */
struct careful_queue {
	int n = 0;
	double x[nlanes], y[nlanes];
	double *out[nlanes];

	void add(double xi, double yi, double *o)
	{
		if (!careful_fits(xi, yi)) {
			reflect_careful(xi, yi, o, o + 1);
			return;
		}
		x[n] = xi;
		y[n] = yi;
		out[n] = o;
		if (++n < nlanes)
			return;
		lanes re, im;
		reflect_careful_lanes(load_lanes(x), load_lanes(y), &re, &im);
		for (int l = 0; l < nlanes; l++) {
			out[l][0] = re[l];
			out[l][1] = im[l];
		}
		n = 0;
	}

	void flush()
	{
		for (int l = 0; l < n; l++)
			reflect_careful(x[l], y[l], out[l], out[l] + 1);
		n = 0;
	}
};

/* A lane of the lower box in the disc of a zero: the single call's series
 * about the zero, and Im w's sign with x's, as lower_box_t flips it.
 * (Four at a time in the lanes it measured no faster: most of them sum
 * again in double-double, and a group that does so does it for all four.)
 */
inline void zero_lane(int z, double x, double y, double *o)
{
	zero_series(z, std::fabs(x), y, o, o + 1);
	if (std::signbit(x))
		o[1] = -o[1];
}

template <bool wide>
[[gnu::always_inline]] inline void w_lanes(size_t n, const double _Complex *z,
	double _Complex *w)
{
	queue q;
	careful_queue cq;
	fast_group fg[block / nlanes];
	double *out = reinterpret_cast<double *>(w);
	const double *in = reinterpret_cast<const double *>(z);
	int last_algorithm = -1, last_nofterms = 0;
	for (size_t at = 0; at < n; at += block) {
		size_t m = n - at < block ? n - at : block;
		/* The counts in locals, not in q: each point would otherwise
		 * wait for the last one's store. */
		size_t nq = 0, ne = 0, nbox = 0, nwing = 0, nf = 0;
		for (size_t g0 = at; g0 < at + m; g0 += nlanes) {
			if (g0 + nlanes <= at + m) {
				/* Four points in a row on one path: located now,
				 * summed below. */
				lanes a = load_lanes(in + 2 * g0), b = load_lanes(in + 2 * g0 + nlanes);
				lanes x = __builtin_shufflevector(a, b, 0, 2, 4, 6);
				lanes y = __builtin_shufflevector(a, b, 1, 3, 5, 7);
				fast_group &f = fg[nf];
				const grid *g;
				if (classify(x, y, &f, &g)) {
					lanes ax = abs_lanes(x), sy = f.how == kind::lower ? -y : y;
					uint32_t cell[nlanes];
					locate_four(*g, ax, splat(0), sy, splat(0), &f.tr, &f.ti, cell);
					f.most = cells_four(*g, cell, f.cp, f.ng);
					f.i = g0;
					f.x = x;
					f.y = y;
					if (f.how != kind::lower) {
						f.add = adds_exp(*g, ax, y);
						f.any = (f.add[0] | f.add[1] | f.add[2] | f.add[3]) != 0;
					}
					nf++;
					continue;
				}
			}
			for (size_t i = g0; i < g0 + nlanes && i < at + m; i++) {
				double x = in[2 * i], y = in[2 * i + 1], ax = std::fabs(x), r;
				const grid *g;
				bool add;
				way how;
				double sy, ex = ax;
				if (!(std::isfinite(x) && std::isfinite(y))) {
					goto single;
				} else if (y >= 0) {
					if (!grid_path({ax, 0}, {y, 0}, &g, &add))
						goto single;
					how = add ? series_exp : series_only;
					sy = y;
				} else if (region_of(ax, -y) == region::box && !about_origin(ax, -y, &r)
					   && near_zero(ax, y) < 0) {
					g = &box_grid;
					add = true;
					how = reflected;
					sy = -y;
					ex = x;
				} else {
					goto single;
				}
				{
					/* Queued: its exponential, its series and
					 * itself. */
					q.ex[ne] = ex;
					q.ey[ne] = y;
					bool wing = g == &wing_grid;
					grid_batch &b = wing ? q.wings : q.box;
					size_t s = wing ? nwing++ : nbox++;
					b.xh[s] = ax;
					b.yh[s] = sy;
					q.entries[nq++] = entry(i - at, s, ne, wing, how);
					ne += add;
					continue;
				}
			single:
				w_single(x, y, &out[2 * i], &out[2 * i + 1]);
				if (i == n - 1) {
					last_algorithm = faddeeva_algorithm;
					last_nofterms = faddeeva_nofterms;
				}
			}
		}
		/* The groups: the series, exp(-z^2) where the single call takes
		 * it, and its steps after them, four lanes at a time. */
		/* The exponentials in a pass of their own, and the series in
		 * another: a group's steps wait on each other, a pass's groups
		 * do not. */
		lanes fer[block / nlanes], fei[block / nlanes];
		for (size_t k = 0; k < nf; k++) {
			const fast_group &f = fg[k];
			if (f.how == kind::lower || f.any)
				exp_mz2_lanes<false>(f.how == kind::lower ? f.x : abs_lanes(f.x), splat(0), f.y,
					splat(0), &fer[k], &fei[k]);
		}
		for (size_t k = 0; k < nf; k++) {
			const fast_group &f = fg[k];
			lanes p0r, p0i, sr, si, er = fer[k], ei = fei[k], re, im;
			series_any(f.most, f.cp, f.tr, f.ti, &p0r, &p0i, &sr, &si);
			const lane_mask sign = splat_bits(uint64_t(1) << 63);
			lane_mask careful = {0, 0, 0, 0};
			if (f.how != kind::lower) {
				p0r = f.add ? p0r + er : p0r;
				p0i = f.add ? p0i + ei : p0i;
				re = p0r + sr;
				im = (lanes)((lane_mask)(p0i + si) ^ ((lane_mask)f.x & sign));
			} else {
				/* lower_box_t's steps after the series. */
				lanes ur = p0r + sr, ui = p0i + si;
				lanes one = (lanes)((lane_mask)splat(1.0) | ((lane_mask)f.x & sign));
				ui *= -one;
				/* 1 on the real axis's row, else 2. */
				lanes f2 = (lanes)((lane_mask)splat(1.0) & ~on_row0(box_grid, -f.y)) + 1;
				er *= f2;
				ei *= f2;
				re = er - ur;
				im = ei - ui;
				lanes mr = abs_lanes(er) > abs_lanes(ur) ? abs_lanes(er) : abs_lanes(ur);
				lanes mi = abs_lanes(ei) > abs_lanes(ui) ? abs_lanes(ei) : abs_lanes(ui);
				careful = (abs_lanes(re) < reflection_keeps * mr)
					| (abs_lanes(im) < reflection_keeps * mi);
			}
			store_lanes(out + 2 * f.i, __builtin_shufflevector(re, im, 0, 4, 1, 5));
			store_lanes(out + 2 * f.i + nlanes, __builtin_shufflevector(re, im, 2, 6, 3, 7));
			lane_mask other = f.how == kind::lower ? careful | f.zero : careful;
			if ((other[0] | other[1] | other[2] | other[3]) != 0) {
				for (int l = 0; l < nlanes; l++) {
					if (f.zero[l])
						zero_lane(f.z[l], f.x[l], f.y[l], &out[2 * (f.i + l)]);
					else if (careful[l])
						cq.add(f.x[l], f.y[l], &out[2 * (f.i + l)]);
				}
			}
			if (f.i + nlanes == n) {
				last_algorithm = f.how == kind::lower ? ALG_GRID + ALG_REFLECT : ALG_GRID;
				last_nofterms = 4 * f.ng[nlanes - 1];
				if (f.how == kind::lower && f.zero[nlanes - 1]) {
					int k = f.z[nlanes - 1];
					last_algorithm = ALG_ZERO;
					last_nofterms = zero_start[k + 1] - zero_start[k] + 2;
				}
			}
		}
		run_queue<false>(&q, ne, nbox, nwing);
		for (size_t k = 0; k < nq; k++) {
			uint32_t v = q.entries[k];
			size_t i = at + (v & 0xff), s = v >> 8 & 0xff, e = v >> 16 & 0xff;
			way how = static_cast<way>(v >> 25);
			/* Its input is still there: only its own output replaces
			 * it. */
			double x = in[2 * i], y = in[2 * i + 1];
			double *re = &out[2 * i], *im = re + 1;
			const grid_batch &b = v >> 24 & 1 ? q.wings : q.box;
			int ng = b.ng[s];
			/* The counters are the last point's alone. */
			bool last = i == n - 1;
			if (last) {
				last_algorithm = how == reflected ? ALG_GRID + ALG_REFLECT : ALG_GRID;
				last_nofterms = 4 * ng;
			}
			double p0r = b.p0r[s], p0i = b.p0i[s];
			if (how == reflected) {
				lower_with(x, y, q.er[e], q.ei[e], p0r + b.sr[s], p0i + b.si[s], re, im);
				continue;
			}
			if (how == series_exp) {
				p0r += q.er[e];
				p0i += q.ei[e];
			}
			*re = p0r + b.sr[s];
			*im = flip_by(p0i + b.si[s], x);
		}
	}
	cq.flush();
	if (last_algorithm >= 0) {
		faddeeva_algorithm = last_algorithm;
		faddeeva_nofterms = last_nofterms;
	}
}

} // namespace kerb

#pragma GCC diagnostic pop
#pragma GCC visibility pop

#endif
