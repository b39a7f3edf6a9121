/* SPDX-License-Identifier: ISC */
/*
 * lanes_careful.h: the careful reflection (reflect.cc) of four points of
 * the lower box side by side, one to a vector lane, for w_of_z_n
 * (arrays.cc), where about one point in eighty takes it and it would
 * otherwise be a sixth of the lower box's time.  The double-double steps
 * are dd.h's own templates, instantiated on lanes; the rest follows
 * exp_careful.cc and grid_sum.cc step by step, the same operations in the
 * same order, the table entries of each lane fetched by its own index, so
 * that every lane has the single call's bits (kerb-arrays holds them to
 * it).  A change there is to be made here too.
 *
 * What the lanes take: points of the lower box's grid (|x|, -y < 8.125,
 * y < 0), x zero or normal and y normal, so that the phase needs neither
 * the huge reduction nor a scaling that leaves the normal range; the
 * caller checks (careful_fits) and leaves any other point to the single
 * call's reflect_careful.
 */
#ifndef KERB_LANES_CAREFUL_H
#define KERB_LANES_CAREFUL_H

#include <cmath>
#include <cstdint>

#include "internal.h"
#include "exp_tables.h"
#include "lanes.h"

#pragma GCC visibility push(hidden)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kerb {

typedef dd_of<lanes> dd_lanes;

[[gnu::always_inline]] inline dd_lanes lift(lanes hi)
{
	return {hi, splat(0)};
}

/* 2^k for each lane's k, -1022 <= k <= 1023, from its bits (pow2). */
[[gnu::always_inline]] inline lanes pow2_lanes(const int k[nlanes])
{
	lane_bits b = {};
	for (int l = 0; l < nlanes; l++)
		b[l] = static_cast<uint64_t>(k[l] + 1023) << 52;
	return (lanes)b;
}

/* nearest_int (dd.h) lane by lane. */
[[gnu::always_inline]] inline lanes nearest_int_lanes(lanes v, int32_t n[nlanes])
{
	lanes s = v + round_shift;
	lane_bits b = (lane_bits)s;
	for (int l = 0; l < nlanes; l++)
		n[l] = static_cast<int32_t>(static_cast<uint32_t>(b[l]));
	return s - round_shift;
}

/* exp_dd_split (exp_careful.cc). */
[[gnu::always_inline]] inline dd_lanes exp_dd_split_lanes(dd_lanes a, int k[nlanes])
{
	int32_t n[nlanes];
	lanes kf = nearest_int_lanes(a.hi * exp_inv, n);
	dd_lanes r = two_sum_t(a.hi - kf * exp_l1, -kf * exp_l2);
	r = dd_add_t(r, lift(a.lo));
	r = dd_add_t(r, lift(-kf * exp_l3));
	lanes r2 = r.hi * r.hi + 2 * r.hi * r.lo;
	lanes q = r2 * (0.5 + r.hi * (expm1_c[0] + r.hi * (expm1_c[1]
		+ r.hi * (expm1_c[2] + r.hi * expm1_c[3]))));
	dd_lanes e = dd_add_t(r, lift(q));
	lanes th = splat(0), tl = th;
	for (int l = 0; l < nlanes; l++) {
		int j = n[l] & (exp_n - 1);
		th[l] = exp2_table[j].h;
		tl[l] = exp2_table[j].l;
		k[l] = (n[l] - j) / exp_n;
	}
	dd_lanes t = fast_two_sum_t(th, tl);
	return dd_add_t(t, dd_mul_t(t, e));
}

/* reduce_turn_dd and cos_sin_turn_dd (exp_careful.cc). */
[[gnu::always_inline]] inline void cos_sin_phase_lanes(dd_lanes v, dd_lanes *c, dd_lanes *s)
{
	int32_t j[nlanes];
	lanes jf = nearest_int_lanes(v.hi * turn_inv, j);
	dd_lanes t = two_sum_t(v.hi - jf * turn_1, -jf * turn_2);
	t = dd_add_t(t, lift(v.lo));
	dd_lanes r = dd_add_t(t, lift(-jf * turn_3));
	/* Each lane's turn entry {c_h, s_h, c_l, s_l, c_v, s_v, off_h, off_l},
	 * in columns. */
	const double *e[nlanes];
	for (int l = 0; l < nlanes; l++)
		e[l] = &turn_table[static_cast<uint32_t>(j[l]) & (turn_n - 1)].c_h;
	lanes lo4[4], hi4[4];
	half_group(e, 0, lo4);
	half_group(e, 4, hi4);
	r = dd_add_t(r, {hi4[2], hi4[3]});
	dd_lanes r2 = dd_mul_t(r, r), r3 = dd_mul_t(r2, r);
	lanes z = r2.hi;
	lanes st = r3.hi * z * (sin_dd_c[0] + z * (sin_dd_c[1] + z * (sin_dd_c[2] + z * sin_dd_c[3])));
	lanes ct = z * z * (cos_dd_c[0] + z * (cos_dd_c[1] + z * (cos_dd_c[2] + z * cos_dd_c[3])));
	const dd_lanes six = {splat(sixth.hi), splat(sixth.lo)};
	dd_lanes sr = dd_add_t(r, dd_add_t(dd_neg_t(dd_mul_t(r3, six)), lift(st)));
	dd_lanes cm = dd_add_t(dd_scale_t(r2, -0.5), lift(ct));
	dd_lanes tc = fast_two_sum_t(lo4[0], lo4[2]), ts = fast_two_sum_t(lo4[1], lo4[3]);
	*c = dd_add_t(tc, dd_add_t(dd_mul_t(tc, cm), dd_neg_t(dd_mul_t(ts, sr))));
	*s = dd_add_t(ts, dd_add_t(dd_mul_t(ts, cm), dd_mul_t(tc, sr)));
}

/* exp_mz2_careful (exp_careful.cc): 2 exp(-z^2) = (re + i im) 2^k.  The
 * phase 2xy as cos_sin_2xy_dd forms it short of the huge reduction: x and
 * y scaled by 2^-k and 2^k, k = (ilogb x - ilogb y) / 2, which for normal
 * x and y is a product by a power of two, exact. */
[[gnu::always_inline]] inline void exp_mz2_careful_lanes(lanes x, lanes y, dd_lanes *re,
	dd_lanes *im, int k[nlanes])
{
	dd_lanes u = diff_squares_t(lift(x), lift(y));
	dd_lanes m = exp_dd_split_lanes(dd_neg_t(u), k);
	const lane_mask zero = x == 0;
	int down[nlanes], up[nlanes];
	for (int l = 0; l < nlanes; l++) {
		int ex = zero[l] ? 0 : exponent_of(std::fabs(x[l])), ey = exponent_of(std::fabs(y[l]));
		int h = (ex - ey) / 2;
		down[l] = -h;
		up[l] = h;
	}
	lanes xs = zero ? splat(1) : x;
	dd_lanes v = two_prod_t(2 * (xs * pow2_lanes(down)), y * pow2_lanes(up));
	dd_lanes c, s;
	cos_sin_phase_lanes(v, &c, &s);
	/* cos 0 and sin 0 where x = 0, as the single call leaves them. */
	c = {zero ? splat(1) : c.hi, zero ? splat(0) : c.lo};
	s = {zero ? splat(0) : s.hi, zero ? splat(0) : s.lo};
	*re = dd_scale_t(dd_mul_t(m, c), 2.0);
	*im = dd_scale_t(dd_mul_t(m, s), -2.0);
}

/* mul_short (grid_sum.cc). */
[[gnu::always_inline]] inline dd_lanes mul_short_lanes(dd_lanes a, lanes s)
{
	dd_lanes h = split_t(a.hi);
	return fast_two_sum_t(h.hi * s, h.lo * s + a.lo * s);
}

/* grid_taylor_dd (grid_sum.cc) on the box grid, without exp(-z^2): w at
 * x + iy (x, y >= 0 in the box) to about 2^-60 of |w|.  Each lane reads
 * its cell's coefficients as ending at the cell's end, its longest
 * series' length before: the zeros that pad a shorter cell leave the
 * chains at zero, as the single call starts them (lanes.h). */
[[gnu::always_inline]] inline void grid_taylor_dd_lanes(lanes x, lanes y, dd_lanes *re,
	dd_lanes *im)
{
	const grid &g = box_grid;
	const lanes shift = splat(round_shift);
	lanes xs = (x - g.x0) * g.scale, ys = y * g.scale;
	lanes xr = (xs + shift) - shift, yr = (ys + shift) - shift;
	lane_bits cb = (lane_bits)((g.nx * yr + xr) + shift);
	lanes x0 = g.x0 + xr * g.step, y0 = yr * g.step;
	lanes tr = (xs - xr) * g.step, ti = (ys - yr) * g.step;
	uint32_t cell[nlanes];
	for (int l = 0; l < nlanes; l++)
		cell[l] = static_cast<uint32_t>(cb[l]);
	const double *cp[nlanes];
	int ng[nlanes];
	int most = cells_four(g, cell, cp, ng);
	lanes t2r = tr * tr - ti * ti, t2i = 2 * tr * ti;
	lanes vr = t2r * t2r - t2i * t2i, vi = 2 * t2r * t2i;
	lanes t3r = t2r * tr - t2i * ti, t3i = t2r * ti + t2i * tr;
	lanes q0r = splat(0), q0i = q0r, q1r = q0r, q1i = q0r, q2r = q0r, q2i = q0r;
	lanes a4[4], b4[4];
	half_group(cp, 4, b4);
	lanes p3r = b4[2], p3i = b4[3];
	for (int k = 1; k < most; k++) {
		size_t at = 8 * static_cast<size_t>(k - 1);
		half_group(cp, at, a4);
		half_group(cp, at + 4, b4);
		lanes a = q0r * vr - q0i * vi + a4[0];
		q0i = q0r * vi + q0i * vr + a4[1];
		q0r = a;
		a = q1r * vr - q1i * vi + a4[2];
		q1i = q1r * vi + q1i * vr + a4[3];
		q1r = a;
		a = q2r * vr - q2i * vi + b4[0];
		q2i = q2r * vi + q2i * vr + b4[1];
		q2r = a;
		half_group(cp, at + 8 + 4, b4);
		a = p3r * vr - p3i * vi + b4[2];
		p3i = p3r * vi + p3i * vr + b4[3];
		p3r = a;
	}
	lanes pr = p3r + ((tr * q0r - ti * q0i) + (t2r * q1r - t2i * q1i) + (t3r * q2r - t3i * q2i));
	lanes pi_ = p3i + ((tr * q0i + ti * q0r) + (t2r * q1i + t2i * q1r) + (t3r * q2i + t3i * q2r));
	half_group(cp, 8 * static_cast<size_t>(most - 1), a4);
	lanes lor = splat(0), loi = lor;
	for (int l = 0; l < nlanes; l++) {
		lor[l] = g.c0lo[2 * cell[l]];
		loi[l] = g.c0lo[2 * cell[l] + 1];
	}
	dd_lanes c0r = fast_two_sum_t(a4[0], lor), c0i = fast_two_sum_t(a4[1], loi);
	const dd_lanes twortpi = {splat(twortpi_hi), splat(twortpi_lo)};
	dd_lanes c1r = dd_scale_t(dd_add_t(mul_short_lanes(c0i, y0),
		dd_neg_t(mul_short_lanes(c0r, x0))), 2.0);
	dd_lanes c1i = dd_add_t(dd_scale_t(dd_add_t(mul_short_lanes(c0i, x0),
		mul_short_lanes(c0r, y0)), -2.0), twortpi);
	dd_lanes c2r = dd_add_t(dd_add_t(mul_short_lanes(c1i, y0), dd_neg_t(mul_short_lanes(c1r, x0))),
		dd_neg_t(c0r));
	dd_lanes c2i = dd_add_t(dd_neg_t(dd_add_t(mul_short_lanes(c1i, x0), mul_short_lanes(c1r, y0))),
		dd_neg_t(c0i));
	dd_lanes qr = dd_add_t(c2r, two_sum_t(pr * tr, -pi_ * ti));
	dd_lanes qi = dd_add_t(c2i, two_sum_t(pr * ti, pi_ * tr));
	for (int k = 1; k >= 0; k--) {
		dd_lanes ar = dd_add_t(dd_mul_d_t(qr, tr), dd_neg_t(dd_mul_d_t(qi, ti)));
		dd_lanes ai = dd_add_t(dd_mul_d_t(qr, ti), dd_mul_d_t(qi, tr));
		qr = dd_add_t(k ? c1r : c0r, ar);
		qi = dd_add_t(k ? c1i : c0i, ai);
	}
	*re = qr;
	*im = qi;
}

/* Whether reflect_careful_lanes takes x + iy, a point of the lower box's
 * grid (see above). */
inline bool careful_fits(double x, double y)
{
	return (x == 0 || std::fabs(x) >= 0x1p-1022) && -y >= 0x1p-1022;
}

/* reflect_careful (reflect.cc) for four points that careful_fits takes:
 * 2 exp(-z^2) - w(-z), each term to about 2^-60 of itself, rounded once;
 * on the grid's row along the real axis the series is that of
 * w - exp(-z^2), and w(z) = exp(-z^2) - that. */
[[gnu::always_inline]] inline void reflect_careful_lanes(lanes x, lanes y, lanes *re, lanes *im)
{
	lanes ax = abs_lanes(x), ay = -y;
	dd_lanes er, ei, ur, ui;
	int k[nlanes];
	exp_mz2_careful_lanes(x, y, &er, &ei, k);
	grid_taylor_dd_lanes(ax, ay, &ur, &ui);
	lane_mask row0 = on_row0(box_grid, ay);
	for (int l = 0; l < nlanes; l++)
		k[l] -= row0[l] != 0;
	lane_mask neg = (lane_mask)x < 0;
	ui = {neg ? ui.hi : -ui.hi, neg ? ui.lo : -ui.lo};
	lanes p = pow2_lanes(k);
	dd_lanes r = dd_add_t(dd_scale_t(er, p), dd_neg_t(ur));
	dd_lanes i = dd_add_t(dd_scale_t(ei, p), dd_neg_t(ui));
	*re = r.hi + r.lo;
	*im = i.hi + i.lo;
}

} // namespace kerb

#pragma GCC diagnostic pop
#pragma GCC visibility pop

#endif
