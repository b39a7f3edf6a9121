/* SPDX-License-Identifier: ISC */
/*
 * lanes.h: w's steps across points, four side by side, one point to a
 * lane, for the array calls (arrays.cc): exp(-z^2) by the tables
 * (exp_mz2_small, exp.cc), which the single call takes in the lower box
 * and on the grids' rows on the real axis, and the grid series (series in
 * paths.h).  Within one point the series runs four chains side by side,
 * two to an AVX register; across points the vector units hold four
 * points' chains, and the transposes that fetch each lane's coefficients
 * cost less than the single point's shuffles and waits.
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
template <bool tails>
[[gnu::always_inline]] inline void exp_mz2_lanes(lanes x, lanes xl, lanes y, lanes yl,
	lanes *re, lanes *im)
{
	lanes d = y * y - x * x;
	/* The squares' split at 2^-20 and their difference. */
	const lanes split20 = splat(0x1.8p32);
	lanes hx = (x + split20) - split20, hy = (y + split20) - split20;
	lanes lx = x - hx, ly = y - hy;
	/* Without tails (xl = yl = 0) the products by them are zeros, which
	 * leave every sum here as it is (the error of 2xy below, where it is
	 * zero, is +0): they are left out. */
	lanes ex2 = tails ? 2 * (hx * lx + x * xl) + lx * lx : 2 * (hx * lx) + lx * lx;
	lanes ey2 = tails ? 2 * (hy * ly + y * yl) + ly * ly : 2 * (hy * ly) + ly * ly;
	lanes u0 = hy * hy - hx * hx, u12 = ey2 - ex2;
	/* 2xy = v + ve exactly. */
	const lane_mask head = splat_bits(~((uint64_t(1) << 27) - 1));
	lanes x2 = 2 * x, v = x2 * y, ah = (lanes)((lane_mask)x2 & head), al = x2 - ah;
	const lanes c27 = splat(0x1p27 + 1);
	lanes ca = c27 * y, bh = ca - (ca - y), bl = y - bh;
	lanes ve = (((ah * bh - v) + ah * bl) + al * bh) + al * bl;
	if (tails)
		ve = ve + 2 * (x * yl + xl * y);

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

/*
 * The grid series (series in paths.h) over a batch of points of one grid,
 * four to a group, one point to a lane, in the order given.  First every
 * point is located as the single call locates it (locate in paths.h,
 * four at a time), then the groups' series run: each lane's coefficients
 * are fetched by its own cell, a 4 x 4 transpose of each half of a group
 * of coefficients (for neighbours that share a cell, as along the
 * profile's line of x, reading each coefficient once into all lanes
 * measured slower: its branch mispredicted more than it saved).  In two
 * passes, the loads of the coefficients do not wait on the locating.  A
 * group takes as many steps as its longest series: a lane with fewer
 * groups of coefficients reads the zeros that precede its cell's own in
 * the table (tables.h), and the step from them
 * into its first group gives that group exactly (0 v + 0 + c is c, mkgrid
 * makes no coefficient -0), so that from there the lane takes the single
 * call's steps.  What the series leaves of each point is w(z0), p0, and
 * the small terms' sum s apart: the caller adds exp(-z^2) to p0 first
 * where the single call does, then s.
 */
/* The last group of four of the n points x + iy (heads and, if `tails',
 * tails) filled out with copies of the first point, whose results are not
 * read. */
template <bool tails>
[[gnu::always_inline]] inline void fill_group(size_t n, double *x, double *xl, double *y,
	double *yl)
{
	for (size_t k = n; k % nlanes != 0; k++) {
		x[k] = x[0];
		y[k] = y[0];
		if (tails) {
			xl[k] = xl[0];
			yl[k] = yl[0];
		}
	}
}

/* Whether each lane's y >= 0 lies on the real axis's row of grid g
 * (grid_row is 0: y / step rounds to 0, a half to even). */
[[gnu::always_inline]] inline lane_mask on_row0(const grid &g, lanes y)
{
	return y * g.scale <= 0.5;
}

constexpr size_t batch_max = 128;
constexpr size_t batch_room = batch_max + nlanes;
/* The longest series a grid's table holds, in groups of four terms. */
constexpr int batch_groups = 5;

struct grid_batch {
	size_t n;
	/* The series' argument x + iy of each point, each part as
	 * double-double (the tails only if asked for). */
	double xh[batch_room], xl[batch_room], yh[batch_room], yl[batch_room];
	/* What the series leaves of each point, w(z0) and the small terms'
	 * sum, and its number of groups. */
	double p0r[batch_room], p0i[batch_room], sr[batch_room], si[batch_room];
	int ng[batch_room];
	/* Each point's offset from its centre, and each group's coefficients
	 * (ending at its cells' ends) and longest series. */
	double tr[batch_room], ti[batch_room];
	const double *coef[batch_room];
	int most[batch_room / nlanes];
};

/* The four doubles at offset `at' of each lane's row (cp[l]), as four
 * columns: for half of a group of coefficients (chains 0 and 1, or 2 and
 * 3), c[0], c[1] the real and imaginary parts of the first chain's
 * coefficient and c[2], c[3] the second's; for a table's row, its
 * fields. */
[[gnu::always_inline]] inline void half_group(const double *const cp[nlanes], size_t at,
	lanes c[4])
{
	lanes a0 = load_lanes(cp[0] + at), a1 = load_lanes(cp[1] + at);
	lanes a2 = load_lanes(cp[2] + at), a3 = load_lanes(cp[3] + at);
	lanes t0 = __builtin_shufflevector(a0, a1, 0, 4, 2, 6);
	lanes t1 = __builtin_shufflevector(a0, a1, 1, 5, 3, 7);
	lanes t2 = __builtin_shufflevector(a2, a3, 0, 4, 2, 6);
	lanes t3 = __builtin_shufflevector(a2, a3, 1, 5, 3, 7);
	c[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
	c[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
	c[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
	c[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

/* Two of the four chains in t^4 (half h) over ng groups: times in
 * paths.h, lane by lane: p v + c, Re (pr vr + pi (-vi)) + cr and Im
 * (pi vr + pr vi) + ci. */
template <int ng>
[[gnu::always_inline]] inline void two_chains(const double *const cp[nlanes], int h, lanes vr,
	lanes vi, lanes q[4])
{
	lanes nvi = -vi, c[4];
	half_group(cp, 4 * h, c);
	lanes ar = c[0], ai = c[1], br = c[2], bi = c[3];
	for (int s = 1; s < ng; s++) {
		half_group(cp, 8 * s + 4 * h, c);
		lanes nr = (ar * vr + ai * nvi) + c[0];
		lanes ni = (ai * vr + ar * vi) + c[1];
		ar = nr;
		ai = ni;
		nr = (br * vr + bi * nvi) + c[2];
		ni = (bi * vr + br * vi) + c[3];
		br = nr;
		bi = ni;
	}
	q[0] = ar;
	q[1] = ai;
	q[2] = br;
	q[3] = bi;
}

/* The series of four lanes whose longest has ng groups, the coefficients
 * cp[l] of each, at offsets t from their centres: w(z0) in p0 and the
 * small terms' sum in s. */
template <int ng>
[[gnu::always_inline]] inline void series_four(const double *const cp[nlanes], lanes tr,
	lanes ti, lanes *p0r, lanes *p0i, lanes *sr, lanes *si)
{
	lanes t2r = tr * tr - ti * ti, t2i = 2 * tr * ti;
	lanes vr = t2r * t2r - t2i * t2i, vi = 2 * t2r * t2i;
	lanes q01[4], q23[4];
	two_chains<ng>(cp, 0, vr, vi, q01);
	two_chains<ng>(cp, 1, vr, vi, q23);
	/* s = t p1 + t^2 p2 + t^3 p3, as the single call sums it. */
	lanes t3r = t2r * tr - t2i * ti, t3i = t2r * ti + t2i * tr;
	lanes p1r = q01[2], p1i = q01[3], p2r = q23[0], p2i = q23[1];
	lanes p3r = q23[2], p3i = q23[3];
	*p0r = q01[0];
	*p0i = q01[1];
	*sr = ((p1r * tr + p1i * -ti) + (p2r * t2r + p2i * -t2i)) + (p3r * t3r + p3i * -t3i);
	*si = ((p1i * tr + p1r * ti) + (p2i * t2r + p2r * t2i)) + (p3i * t3r + p3r * t3i);
}

/* The same, ng chosen at run time (1 to batch_groups). */
[[gnu::always_inline]] inline void series_any(int ng, const double *const cp[nlanes], lanes tr,
	lanes ti, lanes *p0r, lanes *p0i, lanes *sr, lanes *si)
{
	static_assert(batch_groups == 5, "a case for each length");
	switch (ng) {
	case 3:
		series_four<3>(cp, tr, ti, p0r, p0i, sr, si);
		break;
	case 4:
		series_four<4>(cp, tr, ti, p0r, p0i, sr, si);
		break;
	case 5:
		series_four<5>(cp, tr, ti, p0r, p0i, sr, si);
		break;
	case 2:
		series_four<2>(cp, tr, ti, p0r, p0i, sr, si);
		break;
	default:
		series_four<1>(cp, tr, ti, p0r, p0i, sr, si);
		break;
	}
}

typedef uint64_t lane_bits __attribute__((vector_size(8 * nlanes)));

[[gnu::always_inline]] inline lanes abs_lanes(lanes v)
{
	return (lanes)((lane_mask)v & splat_bits(~(uint64_t(1) << 63)));
}

/* locate (paths.h) for four points of grid g, x + iy given as heads and
 * tails: the offsets t from their centres, and their cells. */
[[gnu::always_inline]] inline void locate_four(const grid &g, lanes x, lanes xl, lanes y,
	lanes yl, lanes *tr, lanes *ti, uint32_t cell[nlanes])
{
	const lanes shift = splat(round_shift);
	lanes xs = (x - g.x0) * g.scale, ys = y * g.scale;
	lanes xr = (xs + shift) - shift, yr = (ys + shift) - shift;
	/* nx yr + xr, a whole number, exact in a double. */
	lane_bits cb = (lane_bits)((g.nx * yr + xr) + shift);
	*tr = (xs - xr) * g.step + xl;
	*ti = (ys - yr) * g.step + yl;
	for (int l = 0; l < nlanes; l++)
		cell[l] = static_cast<uint32_t>(cb[l]);
}

/* Where each of four cells' coefficients start for a group that runs
 * `most' steps (at most the grid's stride), and the groups' numbers. */
[[gnu::always_inline]] inline int cells_four(const grid &g, const uint32_t cell[nlanes],
	const double *cp[nlanes], int ng[nlanes])
{
	int most = 0;
	for (int l = 0; l < nlanes; l++) {
		ng[l] = g.ng[cell[l]];
		most = ng[l] > most ? ng[l] : most;
	}
	for (int l = 0; l < nlanes; l++)
		cp[l] = g.coef + 8 * (g.stride * (static_cast<int>(cell[l]) + 1) - most);
	return most;
}

/* The series of every point of the batch, in grid g; the arguments'
 * tails are added if `tails' (else they are not read: zero). */
template <bool tails>
[[gnu::always_inline]] inline void series_batch(const grid &g, grid_batch *b)
{
	size_t n = b->n;
	fill_group<tails>(n, b->xh, b->xl, b->yh, b->yl);
	for (size_t k = 0; k < n; k += nlanes) {
		lanes tr, ti;
		uint32_t cell[nlanes];
		locate_four(g, load_lanes(b->xh + k), tails ? load_lanes(b->xl + k) : splat(0),
			load_lanes(b->yh + k), tails ? load_lanes(b->yl + k) : splat(0), &tr, &ti, cell);
		store_lanes(b->tr + k, tr);
		store_lanes(b->ti + k, ti);
		b->most[k / nlanes] = cells_four(g, cell, b->coef + k, b->ng + k);
	}
	for (size_t k = 0; k < n; k += nlanes) {
		lanes p0r, p0i, sr, si;
		series_any(b->most[k / nlanes], b->coef + k, load_lanes(b->tr + k), load_lanes(b->ti + k),
			&p0r, &p0i, &sr, &si);
		store_lanes(b->p0r + k, p0r);
		store_lanes(b->p0i + k, p0i);
		store_lanes(b->sr + k, sr);
		store_lanes(b->si + k, si);
	}
}

} // namespace kerb

#pragma GCC diagnostic pop
#pragma GCC visibility pop

#endif
