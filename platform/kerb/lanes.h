/* SPDX-License-Identifier: ISC */
/*
 * lanes.h: w's costly steps across points, four side by side, one point
 * to a lane, for the array calls (arrays.cc): exp(-z^2) by the tables
 * (exp_mz2_small, exp.cc), which w_of_z_n takes so for the lower box and
 * the grids' rows on the real axis, and the grid series (series in
 * paths.h), which voigt_n takes so along its line of x.  One point's
 * series already runs its four chains side by side, two to an AVX
 * register: across points it gains only where neighbours share a cell
 * (bench/kerb/run measures both ways).
 *
 * Each lane is formed by the same products and sums, in the same order,
 * as the single call forms its point (the constants, the table entries
 * and the rounding tricks are the same ones), and nothing is contracted
 * into a fused multiply-add: every lane has the single call's bits.  What
 * differs is only where the numbers sit: a register holds one quantity of
 * four points, not the two parts or the two factors of one point's, and
 * the table entries and coefficients of each lane are fetched by its own
 * index.  A change to exp_mz2_small or to series is to be made here too;
 * kerb-arrays holds them to the bit.
 */
#ifndef KERB_LANES_H
#define KERB_LANES_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "internal.h"
#include "exp_tables.h"
#include "paths.h"

#pragma GCC visibility push(hidden)
/* Four doubles pass between these functions, all inline in the arrays'
 * loops: no call made across the library's interface passes them, so
 * the warning that their passing differs with and without AVX does not
 * concern them. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kerb {

constexpr int nlanes = 4;
typedef double lanes __attribute__((vector_size(8 * nlanes)));

[[gnu::always_inline]] inline lanes splat(double v)
{
	return lanes{v, v, v, v};
}

[[gnu::always_inline]] inline lanes load_lanes(const double *p)
{
	lanes v;
	std::memcpy(&v, p, sizeof v);
	return v;
}

[[gnu::always_inline]] inline void store_lanes(double *p, lanes v)
{
	std::memcpy(p, &v, sizeof v);
}

/* The bits of four doubles. */
typedef int64_t lane_mask __attribute__((vector_size(8 * nlanes)));

[[gnu::always_inline]] inline lane_mask splat_bits(uint64_t b)
{
	return lane_mask{(int64_t)b, (int64_t)b, (int64_t)b, (int64_t)b};
}

/* The eight doubles of each lane's row of a table (a row of the turn
 * table, a group of four complex coefficients of the grid series), as
 * eight lanes: a 4 x 4 transpose of each
 * half. */
[[gnu::always_inline]] inline void gather_group(const double *const p[nlanes], lanes c[8])
{
	for (int h = 0; h < 2; h++) {
		lanes a0 = load_lanes(p[0] + 4 * h), a1 = load_lanes(p[1] + 4 * h);
		lanes a2 = load_lanes(p[2] + 4 * h), a3 = load_lanes(p[3] + 4 * h);
		lanes t0 = __builtin_shufflevector(a0, a1, 0, 4, 2, 6);
		lanes t1 = __builtin_shufflevector(a0, a1, 1, 5, 3, 7);
		lanes t2 = __builtin_shufflevector(a2, a3, 0, 4, 2, 6);
		lanes t3 = __builtin_shufflevector(a2, a3, 1, 5, 3, 7);
		c[4 * h + 0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
		c[4 * h + 1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
		c[4 * h + 2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
		c[4 * h + 3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
	}
}

/*
 * exp(-z^2) for four points z = x + iy given as double-double parts
 * (exp_mz2_small's method and order of operations, exp.cc).  A lane whose
 * y^2 - x^2 is not above -700 is taken by exp_mz2, as the single call
 * takes it; nothing of a lane's value depends on the others'.
 */
[[gnu::always_inline]] inline void exp_mz2_lanes(lanes x, lanes xl, lanes y, lanes yl,
	lanes *re, lanes *im)
{
	lanes d = y * y - x * x;
	/* The squares' split at 2^-20 and their difference. */
	const lanes split20 = splat(0x1.8p32);
	lanes hx = (x + split20) - split20, hy = (y + split20) - split20;
	lanes lx = x - hx, ly = y - hy;
	lanes ex2 = 2 * (hx * lx + x * xl) + lx * lx;
	lanes ey2 = 2 * (hy * ly + y * yl) + ly * ly;
	lanes u0 = hy * hy - hx * hx, u12 = ey2 - ex2;
	/* 2xy = v + ve exactly. */
	const lane_mask head = splat_bits(~((uint64_t(1) << 27) - 1));
	lanes x2 = 2 * x, v = x2 * y, ah = (lanes)((lane_mask)x2 & head), al = x2 - ah;
	const lanes c27 = splat(0x1p27 + 1);
	lanes ca = c27 * y, bh = ca - (ca - y), bl = y - bh;
	lanes ve = (((ah * bh - v) + ah * bl) + al * bh) + al * bl + 2 * (x * yl + xl * y);

	/* The reductions of the exponent and of the phase. */
	const lanes shift = splat(round_shift);
	lanes sk = d * exp_inv + shift, sj = v * turn_inv + shift;
	lanes kf = sk - shift, jf = sj - shift;
	lanes t1e = u0 - kf * exp_l1, t1t = v - jf * turn_1;
	lanes t2e = t1e - kf * exp_l23, ra = t1t - jf * turn_2;
	lanes r = t2e + u12;
	lanes rl = ((t1t - ra) - jf * turn_2) + (ve - jf * turn_3);
	lanes r2 = r * r;
	lanes pr = r + r2 * ((exp_c[0] + r * exp_c[1]) + r2 * (exp_c[2] + r * exp_c[3]));

	/* Each lane's entries of the two tables: the turn table's rows, of
	 * eight doubles, transposed four by four. */
	static_assert(exp_n == 1 << 7, "the scale below divides k by 2^7");
	typedef uint64_t lane_bits __attribute__((vector_size(8 * nlanes)));
	const lane_bits shift_bits = (lane_bits)shift;
	/* The sum's bits less the shift's are k (two's complement), and
	 * 2^floor(k / 128) is the scale, built from its bits as pow2 does. */
	lane_bits kb = (lane_bits)sk - shift_bits, jb = (lane_bits)sj - shift_bits;
	lanes scale = (lanes)(((kb + 1023 * exp_n) >> 7) << 52);
	const exp2_entry *te[nlanes];
	const double *ce[nlanes];
	for (int l = 0; l < nlanes; l++) {
		te[l] = &exp2_table[kb[l] & (exp_n - 1)];
		ce[l] = &turn_table[jb[l] & (turn_n - 1)].c_h;
	}
	lanes th = {te[0]->h, te[1]->h, te[2]->h, te[3]->h};
	lanes tl = {te[0]->l, te[1]->l, te[2]->l, te[3]->l};
	lanes tv = {te[0]->v, te[1]->v, te[2]->v, te[3]->v};
	lanes turn[8];
	gather_group(ce, turn);
	lanes ch = turn[0], sh = turn[1], cl = turn[2], sl = turn[3];
	lanes cv = turn[4], sv = turn[5], offh = turn[6], offl = turn[7];
	lanes rh = offh + ra;
	rl += (ra - (rh - offh)) + offl;
	lanes z = rh * rh, zz = z * z;
	lanes qs = (sin_t[0] + z * sin_t[1]) + zz * (sin_t[2] + z * sin_t[3]);
	lanes qc = (cos_t[0] + z * cos_t[1]) + zz * (cos_t[2] + z * cos_t[3]);
	lanes cm = z * qc;
	lanes st = rl * (1 + cm) + rh * z * qs;
	cm -= rh * rl;

	/* Re and Im as the single call's pair forms them: its lane 0
	 * (cos) with the sign -1, its lane 1 (sin) with +1. */
	lanes tc = tv * cv, ts = tv * sv;
	lanes bc = -(ts * rh), bs = tc * rh;
	lanes gc = tc * cm + -(ts * st), gs = ts * cm + tc * st;
	lanes loc = th * cl + tl * cv, los = th * sl + tl * sv;
	lanes rrc = (loc + (pr * tc + (gc + pr * (gc + bc)))) + bc;
	lanes rrs = (los + (pr * ts + (gs + pr * (gs + bs)))) + bs;
	*re = scale * (th * ch + rrc);
	*im = -(scale * (th * sh + rrs));

	for (int l = 0; l < nlanes; l++)
		if (!(d[l] > -700)) {
			double er, ei;
			exp_mz2({x[l], xl[l]}, {y[l], yl[l]}, 1, &er, &ei);
			(*re)[l] = er;
			(*im)[l] = ei;
		}
}

/* a where m is set (all ones), b elsewhere. */
[[gnu::always_inline]] inline lanes select(lane_mask m, lanes a, lanes b)
{
	return m ? a : b;
}

/*
 * Four points' grid series (series in paths.h), for the profile's line of
 * x, where neighbours share a cell: each lane's cell, offset and
 * coefficients are its own, found as the single call finds them.  A lane
 * with fewer groups of coefficients than another starts later: until its
 * first step it holds its highest group, as the single call starts, and
 * from then on takes the same steps.  Where `add' is set in a lane, e is
 * added to w(z0) before the small terms, as the single call adds
 * exp(-z^2) on the real axis's row.
 */
struct lane_cells {
	const double *coef[nlanes];
	int ng[nlanes];
	double tr[nlanes], ti[nlanes];
};

/* The cell of grid g for one lane, the offset with the tails added. */
[[gnu::always_inline]] inline void locate_lane(lane_cells *c, int l, const grid &g, dd x, dd y)
{
	cell_at at = locate(g, x.hi, y.hi);
	c->coef[l] = at.coef;
	c->ng[l] = at.ng;
	c->tr[l] = at.tr + x.lo;
	c->ti[l] = at.ti + y.lo;
}

/* One step of a chain: p v + c where the lane has started, c where it
 * has not (times in paths.h, lane by lane). */
[[gnu::always_inline]] inline void chain_step(lanes *pr, lanes *pi, lanes vr, lanes vi, lanes nvi,
	lanes cr, lanes ci, lane_mask going)
{
	lanes nr = (*pr * vr + *pi * nvi) + cr;
	lanes ni = (*pi * vr + *pr * vi) + ci;
	*pr = select(going, nr, cr);
	*pi = select(going, ni, ci);
}

[[gnu::always_inline]] inline void series_lanes(const lane_cells &c, lane_mask add, lanes e_re,
	lanes e_im, lanes *re, lanes *im)
{
	lanes tr = load_lanes(c.tr), ti = load_lanes(c.ti);
	lanes t2r = tr * tr - ti * ti, t2i = 2 * tr * ti;
	lanes vr = t2r * t2r - t2i * t2i, vi = 2 * t2r * t2i, nvi = -vi;
	lanes t3r = t2r * tr - t2i * ti, t3i = t2r * ti + t2i * tr;
	int most = c.ng[0];
	for (int l = 1; l < nlanes; l++)
		most = c.ng[l] > most ? c.ng[l] : most;
	/* Lane l takes its first step at most - ng[l]. */
	const lane_mask late = {most - c.ng[0], most - c.ng[1], most - c.ng[2], most - c.ng[3]};
	const double *p[nlanes] = {c.coef[0], c.coef[1], c.coef[2], c.coef[3]};
	lanes k[8];
	gather_group(p, k);
	lanes p0r = k[0], p0i = k[1], p1r = k[2], p1i = k[3];
	lanes p2r = k[4], p2i = k[5], p3r = k[6], p3i = k[7];
	for (int s = 1; s < most; s++) {
		lane_mask going = late < s;
		for (int l = 0; l < nlanes; l++)
			p[l] = c.coef[l] + 8 * (s > late[l] ? s - late[l] : 0);
		gather_group(p, k);
		chain_step(&p0r, &p0i, vr, vi, nvi, k[0], k[1], going);
		chain_step(&p1r, &p1i, vr, vi, nvi, k[2], k[3], going);
		chain_step(&p2r, &p2i, vr, vi, nvi, k[4], k[5], going);
		chain_step(&p3r, &p3i, vr, vi, nvi, k[6], k[7], going);
	}
	/* t p1 + t^2 p2 + t^3 p3, then w(z0) and exp(-z^2) where asked. */
	lanes sr = ((p1r * tr + p1i * -ti) + (p2r * t2r + p2i * -t2i)) + (p3r * t3r + p3i * -t3i);
	lanes si = ((p1i * tr + p1r * ti) + (p2i * t2r + p2r * t2i)) + (p3i * t3r + p3r * t3i);
	p0r = select(add, p0r + e_re, p0r);
	p0i = select(add, p0i + e_im, p0i);
	*re = p0r + sr;
	*im = p0i + si;
}

} // namespace kerb

#pragma GCC diagnostic pop
#pragma GCC visibility pop

#endif
