/* SPDX-License-Identifier: ISC */
/*
 * lanes_voigt.h: voigt_n across points on x86-64 (arrays.cc): four x in a
 * row whose arguments of w fall on one grid.
 */
#ifndef KERB_LANES_VOIGT_H
#define KERB_LANES_VOIGT_H

#include <cmath>
#include <cstddef>

#include "lanes_block.h"

/* Hidden, and four doubles passed between inline functions alone (see
 * lanes_block.h). */
#pragma GCC visibility push(hidden)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kerb {

/*
 * The counters of the last x (by its place) whose profile evaluates w.
 * The groups and the queue sum the grid series (code 6), known without a
 * store; an x evaluated at once may take a closed form, which leaves the
 * counters alone: watch() stores code 0, which no profile leaves (its
 * special inputs take closed forms), and seen() takes the counters if
 * the evaluation stored others.
 */
struct last_codes {
	long at;
	int algorithm, nofterms;

	void grid(size_t i, int ng)
	{
		if (static_cast<long>(i) > at)
			*this = {static_cast<long>(i), ALG_GRID, 4 * ng};
	}

	void watch()
	{
		faddeeva_algorithm = ALG_SPECIAL;
		faddeeva_nofterms = 0;
	}

	void seen(size_t i)
	{
		if (faddeeva_algorithm != ALG_SPECIAL && static_cast<long>(i) > at)
			*this = {static_cast<long>(i), faddeeva_algorithm, faddeeva_nofterms};
	}
};

/* A group of four x in a row whose profiles take the grid series of one
 * grid: located in a first pass over a block, summed in a second. */
struct voigt_group {
	size_t i;
	int most, ng[nlanes];
	const double *cp[nlanes];
	lanes zx, zxl, tr, ti;
	lane_mask add;
	bool any;
};

/*
 * voigt_n's common case across points.  Four x in a row whose arguments
 * of w, (|x| + i gamma) / (sigma sqrt 2), all take the grid series of one
 * grid go as a group, the arguments formed as profile_t forms them (each
 * part one exact product and one product of the tail), lane by lane; any
 * other x is queued for its grid's batch if its single call sums the
 * grid series, else evaluated at once through profile_t.
 */
template <bool wide>
[[gnu::always_inline]] inline void voigt_lanes(size_t n, const double *x, double gamma,
	const width &sw, double reach, double *v)
{
	queue q;
	voigt_group vg[block / nlanes];
	/* The counters the loop of single calls would leave: those of the
	 * last x whose profile evaluates w (the closed forms leave them
	 * alone), or those from before the call if none does. */
	last_codes last = {-1, faddeeva_algorithm, faddeeva_nofterms};
	dd zy = times_r(gamma, sw.rh, sw.rl);
	/* two_prod(a, rh)'s split of rh, shared by every product. */
	dd srh = split(sw.rh);
	const lanes c27 = splat(0x1p27 + 1);
	bool far = zy.hi < 0x1p-950;
	for (size_t at = 0; at < n; at += block) {
		size_t m = n - at < block ? n - at : block;
		size_t nq = 0, ne = 0, nbox = 0, nwing = 0, nf = 0;
		for (size_t g0 = at; g0 < at + m; g0 += nlanes) {
			if (g0 + nlanes <= at + m) {
				lanes ax = abs_lanes(load_lanes(x + g0));
				/* zx = times_r(ax, rh, rl): two_prod and the tail. */
				lanes p = ax * sw.rh, ca = c27 * ax, ah = ca - (ca - ax), al = ax - ah;
				lanes e = ((ah * srh.hi - p) + ah * srh.lo + al * srh.hi) + al * srh.lo;
				lanes zx = p, zxl = e + ax * sw.rl;
				lane_mask ok = (ax <= 0x1p300) & (ax <= reach);
				if (far)
					ok &= ~(zx > 26);
				/* region_of and about_origin, lane by lane. */
				const lanes zyh = splat(zy.hi);
				lanes mx = zx > zyh ? zx : zyh;
				lane_mask in_box = (zx < box_end) & (zyh < box_end);
				lane_mask box = in_box & (mx >= taylor_rgrid);
				lane_mask wing = ~in_box & (zx >= wing_xmin) & (zx < wing_xmax)
					& (zyh < wing_ymax);
				const grid *g = nullptr;
				if (all_set(ok & box))
					g = &box_grid;
				else if (all_set(ok & wing))
					g = &wing_grid;
				if (g) {
					voigt_group &f = vg[nf++];
					uint32_t cell[nlanes];
					locate_four(*g, zx, zxl, zyh, splat(zy.lo), &f.tr, &f.ti, cell);
					f.most = cells_four(*g, cell, f.cp, f.ng);
					f.i = g0;
					f.zx = zx;
					f.zxl = zxl;
					f.add = adds_exp(*g, zx, zyh);
					f.any = (f.add[0] | f.add[1] | f.add[2] | f.add[3]) != 0;
					continue;
				}
			}
			for (size_t i = g0; i < g0 + nlanes && i < at + m; i++) {
				double xi = x[i], ax = std::fabs(xi);
				if (common_x(ax, reach)) {
					dd zx = times_r(ax, sw.rh, sw.rl);
					const grid *g;
					bool add;
					if (!(zx.hi > 26 && far) && grid_path(zx, zy, &g, &add)) {
						q.ex[ne] = zx.hi;
						q.exl[ne] = zx.lo;
						q.ey[ne] = zy.hi;
						q.eyl[ne] = zy.lo;
						bool wing = g == &wing_grid;
						grid_batch &b = wing ? q.wings : q.box;
						size_t s = wing ? nwing++ : nbox++;
						b.xh[s] = zx.hi;
						b.xl[s] = zx.lo;
						b.yh[s] = zy.hi;
						b.yl[s] = zy.lo;
						q.entries[nq++] = entry(i - at, s, ne, wing,
							add ? series_exp : series_only);
						ne += add;
						continue;
					}
					last.watch();
					v[i] = profile_t<wide>(ax, gamma, sw);
				} else {
					last.watch();
					v[i] = voigt_point(xi, sw.sigma, gamma);
				}
				last.seen(i);
			}
		}
		for (size_t k = 0; k < nf; k++) {
			const voigt_group &f = vg[k];
			lanes p0r, p0i, sr, si, er = splat(0), ei = er;
			if (f.any)
				exp_mz2_lanes<true>(f.zx, f.zxl, splat(zy.hi), splat(zy.lo), &er, &ei);
			series_any(f.most, f.cp, f.tr, f.ti, &p0r, &p0i, &sr, &si);
			lanes re = (f.add ? p0r + er : p0r) + sr;
			store_lanes(v + f.i, sw.f.hi * re + sw.f.lo * re);
			last.grid(f.i + nlanes - 1, f.ng[nlanes - 1]);
		}
		run_queue<true>(&q, ne, nbox, nwing);
		for (size_t k = 0; k < nq; k++) {
			uint32_t e = q.entries[k];
			size_t i = at + (e & 0xff), s = e >> 8 & 0xff;
			const grid_batch &b = e >> 24 & 1 ? q.wings : q.box;
			double re = b.p0r[s];
			if (static_cast<way>(e >> 25) == series_exp)
				re += q.er[e >> 16 & 0xff];
			re += b.sr[s];
			v[i] = sw.f.hi * re + sw.f.lo * re;
			last.grid(i, b.ng[s]);
		}
	}
	faddeeva_algorithm = last.algorithm;
	faddeeva_nofterms = last.nofterms;
}

} // namespace kerb

#pragma GCC diagnostic pop
#pragma GCC visibility pop

#endif
