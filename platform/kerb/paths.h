/* SPDX-License-Identifier: ISC */
/*
 * paths.h: w's paths through the plane (the methods and regions are
 * w_of_z.cc's) and the inner part of the Voigt profile, written once as
 * templates: instantiated for the single calls (w_of_z.cc, grid_sum.cc,
 * voigt.cc) and again, inline in their loops, for w_of_z_n and voigt_n
 * (arrays.cc).
 *
 * The parameter `wide' chooses only the width of the grid series' chains:
 * a pair of doubles (one complex chain per SSE2 register) or, in the
 * arrays' AVX2 loop, four (two chains per register).  Each lane is formed
 * by the same products and sums in the same order either way, and nothing
 * is contracted into a fused multiply-add (AVX2 is asked for without FMA),
 * so the two give the same numbers to the bit.
 */
#ifndef KERB_PATHS_H
#define KERB_PATHS_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kerb.h"
#include "internal.h"

#pragma GCC visibility push(hidden)

namespace kerb {

/* A complex number here is a pair (dd.h): each part formed by the same
 * products and sums in the same order as in scalar code.  Two pairs, one
 * AVX register: */
typedef double quad __attribute__((vector_size(32)));

[[gnu::always_inline]] inline pair load_pair(const double *p)
{
	pair v;
	std::memcpy(&v, p, sizeof v);
	return v;
}

/* p t, t = (tr, ti) given as tt = (tr, tr) and ts = (-ti, ti):
 * (pr tr - pi ti, pi tr + pr ti). */
[[gnu::always_inline]] inline pair times(pair p, pair tt, pair ts)
{
	return p * tt + __builtin_shufflevector(p, p, 1, 0) * ts;
}

/* v with the sign of s added to its own: -v where s has its sign bit,
 * v elsewhere, by the bits rather than a branch, which mispredicts half
 * the time on scattered x. */
[[gnu::always_inline]] inline double flip_by(double v, double s)
{
	uint64_t a, b;
	std::memcpy(&a, &v, sizeof a);
	std::memcpy(&b, &s, sizeof b);
	a ^= b & uint64_t(1) << 63;
	std::memcpy(&v, &a, sizeof v);
	return v;
}

/* The cell of grid g whose centre z0 lies nearest to x + iy (x, y >= 0
 * within the grid) and the offset t = z - z0. */
struct cell_at {
	int cell, ng;		/* index, and its number of groups of four */
	const double *coef;	/* its coefficients, highest group first */
	double x0, y0, tr, ti;	/* the centre, and the offset from it */
};

[[gnu::always_inline]] inline cell_at locate(const grid &g, double x, double y)
{
	/* x - x0 and y in steps, exactly (a power of two apart from x0, and
	 * x - x0 exact by Sterbenz or a zero x0), less the nearest centre's
	 * whole number of steps, exactly. */
	double xs = (x - g.x0) * g.scale, ys = y * g.scale;
	double xr = nearest(xs), yr = nearest(ys);
	int cell = g.nx * static_cast<int>(yr) + static_cast<int>(xr), ng = g.ng[cell];
	return {cell, ng, g.coef + 8 * (g.stride * (cell + 1) - ng),
		g.x0 + xr * g.step, yr * g.step, (xs - xr) * g.step, (ys - yr) * g.step};
}

/*
 * w(z0 + t) as its Taylor series about the nearest centre z0 of grid g,
 * |Re t|, |Im t| <= step/2, for x, y >= 0 within the grid; on the real
 * axis's row (grid_row 0) w - exp(-z^2), to which the caller adds
 * exp(-z^2), so that it can start the exponential before the series and
 * the two overlap.  The series is split by the power of t modulo 4 into
 * four Horner chains in t^4, which run side by side; the sum is formed
 * small terms first and added to w(z0) last.  On the axes the centres
 * lie on the axis, so a part that vanishes there (Re w for large x, Im w
 * on x = 0) is summed from terms that vanish with it and keeps its own
 * relative accuracy.  Returns the number of terms.
 */
template <bool with_exp, bool wide>
[[gnu::always_inline]] inline int series(const grid &g, dd x, dd y,
	double *re, double *im, double e_re = 0, double e_im = 0)
{
	cell_at at = locate(g, x.hi, y.hi);
	double tr = at.tr + x.lo, ti = at.ti + y.lo;
	int ng = at.ng;
	const double *c = at.coef;
	double t2r = tr * tr - ti * ti, t2i = 2 * tr * ti;
	double vr = t2r * t2r - t2i * t2i, vi = 2 * t2r * t2i;
	double t3r = t2r * tr - t2i * ti, t3i = t2r * ti + t2i * tr;
	pair p0, p1, p2, p3;
	if constexpr (wide) {
		quad vv = {vr, vr, vr, vr}, vs = {-vi, vi, -vi, vi};
		quad p01, p23, c01, c23;
		std::memcpy(&p01, c, sizeof p01);
		std::memcpy(&p23, c + 4, sizeof p23);
		for (int k = 1; k < ng; k++) {
			c += 8;
			std::memcpy(&c01, c, sizeof c01);
			std::memcpy(&c23, c + 4, sizeof c23);
			p01 = (p01 * vv + __builtin_shufflevector(p01, p01, 1, 0, 3, 2) * vs) + c01;
			p23 = (p23 * vv + __builtin_shufflevector(p23, p23, 1, 0, 3, 2) * vs) + c23;
		}
		p0 = __builtin_shufflevector(p01, p01, 0, 1);
		p1 = __builtin_shufflevector(p01, p01, 2, 3);
		p2 = __builtin_shufflevector(p23, p23, 0, 1);
		p3 = __builtin_shufflevector(p23, p23, 2, 3);
	} else {
		pair vv = {vr, vr}, vs = {-vi, vi};
		p0 = load_pair(c), p1 = load_pair(c + 2), p2 = load_pair(c + 4), p3 = load_pair(c + 6);
		for (int k = 1; k < ng; k++) {
			c += 8;
			p0 = times(p0, vv, vs) + load_pair(c);
			p1 = times(p1, vv, vs) + load_pair(c + 2);
			p2 = times(p2, vv, vs) + load_pair(c + 4);
			p3 = times(p3, vv, vs) + load_pair(c + 6);
		}
	}
	/* s = t p1 + t^2 p2 + t^3 p3: three products side by side, t^3
	 * formed while the chains run, rather than Horner's serial steps. */
	pair s = times(p1, pair{tr, tr}, pair{-ti, ti}) + times(p2, pair{t2r, t2r}, pair{-t2i, t2i})
		+ times(p3, pair{t3r, t3r}, pair{-t3i, t3i});
	/* exp(-z^2), if the caller adds it, joins w(z0) before the small
	 * terms do. */
	if (with_exp)
		p0 += pair{e_re, e_im};
	*re = p0[0] + s[0];
	*im = p0[1] + s[1];
	return 4 * ng;
}

/*
 * w by the grid series, exp(-z^2) added on the real axis's row unless it
 * is below 2^-60 of Re w ~ y / (sqrt(pi) x^2), that is unless x^2 - y^2 >
 * 41.6 + ln(sqrt(pi) x^2) - ln y, which for x < 40.25 holds where
 * x^2 - y^2 > 50 - ln 2 ilogb(y) (with y = 0 or tiny it is always added).
 * The exponential is started first: it does not wait for the series.
 */
template <bool wide>
[[gnu::always_inline]] inline int grid_taylor_t(const grid &g, dd x, dd y, double *re, double *im)
{
	if (grid_row(g, y.hi) == 0 && (y.hi < 0x1p-1000
		|| (x.hi - y.hi) * (x.hi + y.hi) < 50 - 0.6931 * exponent_of(y.hi))) {
		double er, ei;
		exp_mz2_small(x, y, &er, &ei);
		return series<true, wide>(g, x, y, re, im, er, ei);
	}
	return series<false, wide>(g, x, y, re, im);
}

/* w(x + iy) for x >= 0, y >= 0, both finite and given as double-double;
 * the method's code plus `reflect' is left in faddeeva_algorithm, in one
 * store, so that a racing reader sees only codes that exist. */
template <bool wide>
[[gnu::always_inline]] inline void upper_t(dd x, dd y, double *re, double *im, int reflect)
{
	double r;
	switch (region_of(x.hi, y.hi)) {
	case region::box:
		if (about_origin(x.hi, y.hi, &r)) {
			/* Never reflected: below the axis the lower box
			 * sums the series about 0 itself, and beyond the box
			 * |z| > 8. */
			taylor(x.hi + x.lo, y.hi + y.lo, r, re, im);
			return;
		}
		faddeeva_nofterms = grid_taylor_t<wide>(box_grid, x, y, re, im);
		faddeeva_algorithm = ALG_GRID + reflect;
		return;
	case region::wing:
		faddeeva_nofterms = grid_taylor_t<wide>(wing_grid, x, y, re, im);
		faddeeva_algorithm = ALG_GRID + reflect;
		return;
	case region::asymptotic:
		recip_isqrtpi(x, y, re, im);
		faddeeva_algorithm = ALG_ASYM + reflect;
		faddeeva_nofterms = 1;
		return;
	case region::fraction:
		break;
	}
	int nl = cfrac_levels(std::sqrt(x.hi * x.hi + y.hi * y.hi));
	dd fr, fi;
	cfrac_denominator(x, y, nl, &fr, &fi);
	recip_isqrtpi(fr, fi, re, im);
	if (fraction_needs_exp(x.hi, y.hi)) {
		double er, ei;
		exp_mz2(x, y, 1, &er, &ei);
		*re += er;
		*im += ei;
	}
	faddeeva_algorithm = ALG_CFRAC + reflect;
	faddeeva_nofterms = nl;
}

/*
 * The lower box |x|, -y < 8.125, where users evaluate w most below the
 * axis: w(z) = 2 exp(-z^2) - w(-z) with w(-z) from the box grid at
 * (|x|, -y).  The exponential is started first, before the test for a
 * zero's disc and the series, which do not wait for it, so that they
 * overlap as far as the processor's window reaches.  On the grid's row
 * on the real axis the series sums f = w - exp(-z^2), and
 * w(z) = exp(-z^2) - f(-z) (exp(-z^2) is even): one exponential, not two.
 */
template <bool wide>
[[gnu::always_inline]] inline void lower_box_t(double x, double y, double *re, double *im)
{
	double ax = std::fabs(x), ay = -y, r;
	if (about_origin(ax, ay, &r)) {
		taylor(ax, y, r, re, im);
		if (std::signbit(x))
			*im = -*im;
		return;
	}
	double er, ei, ur, ui;
	exp_mz2_small({x, 0}, {y, 0}, &er, &ei);
	int zero = near_zero(ax, y);
	if (zero >= 0) {
		zero_series(zero, ax, y, re, im);
		if (std::signbit(x))
			*im = -*im;
		return;
	}
	faddeeva_nofterms = series<false, wide>(box_grid, {ax, 0}, {ay, 0}, &ur, &ui);
	faddeeva_algorithm = ALG_GRID + ALG_REFLECT;
	/* w(-z) = conj w(|x| - iy) for x >= 0, w(|x| - iy) for x < 0:
	 * the sign of Im by a product with +-1, not a branch that
	 * mispredicts on scattered x. */
	ui *= -std::copysign(1.0, x);
	double f = grid_row(box_grid, ay) == 0 ? 1 : 2;
	er *= f;
	ei *= f;
	*re = er - ur;
	*im = ei - ui;
	/* Both parts tested, one branch, seldom taken. */
	if ((int)cancels(er, ur, *re, reflection_keeps) |
	    (int)cancels(ei, ui, *im, reflection_keeps))
		reflect_careful(x, y, re, im);
}

/* w(z) for finite z below the lower box, or beyond it (w_of_z.cc). */
void lower_far(double x, double y, double *re, double *im);

/* w(z) for finite z. */
template <bool wide>
[[gnu::always_inline]] inline void w_finite_t(double x, double y, double *re, double *im)
{
	if (y >= 0) {
		upper_t<wide>({std::fabs(x), 0}, {y, 0}, re, im, 0);
		*im = flip_by(*im, x);
		return;
	}
	if (region_of(std::fabs(x), -y) == region::box) {
		lower_box_t<wide>(x, y, re, im);
		return;
	}
	lower_far(x, y, re, im);
}

/* w(z) for any z: the special inputs' limits here. */
void w_special(double x, double y, double *re, double *im);

template <bool wide>
[[gnu::always_inline]] inline void w_point_t(double x, double y, double *re, double *im)
{
	if (std::isfinite(x) && std::isfinite(y))
		w_finite_t<wide>(x, y, re, im);
	else
		w_special(x, y, re, im);
}

/* a (rh + rl) as a pair not renormalised: the tail may reach an ulp or
 * two of the head, which every user of a double-double argument of w
 * allows.  The splitting of rh is shared by every product by it. */
[[gnu::always_inline]] inline dd times_r(double a, double rh, double rl)
{
	dd p = two_prod(a, rh);
	return {p.hi, p.lo + a * rl};
}

/*
 * What the Voigt profile needs of sigma alone: r = 1 / (sigma sqrt 2) in
 * double-double, its head a quotient, its tail the exact residual of the
 * head times sigma, divided by sigma as a product by the head times
 * sqrt 2 (a tail 2^-53 of r carries 2^-52 of its own error: r within
 * 2^-104), and 1 / (sigma sqrt(2 pi)) = r / sqrt(pi), the same.  One
 * division, on the path to w, and no other; an array of x shares it.
 */
struct width {
	double sigma, rh, rl;
	dd f;
};

[[gnu::always_inline]] inline width width_of(double sigma)
{
	constexpr double s_hi = sqrt2_hi / 2, s_lo = sqrt2_lo / 2;
	double rh = s_hi / sigma;
	dd e = two_prod(rh, sigma);
	/* s_hi - e.hi is exact (Sterbenz: e.hi is within an ulp of it). */
	double rl = (((s_hi - e.hi) - e.lo) + s_lo) * (rh * sqrt2_hi);
	/* Two products and a sum for f, not an exact product: at most one
	 * ulp where the exact one rounds to half. */
	constexpr double q_hi = twortpi_hi / 2, q_lo = twortpi_lo / 2;
	dd f = times_r(q_hi, rh, rl);
	f.lo += rh * q_lo;
	return {sigma, rh, rl, f};
}

/*
 * The profile's common case, where profile_t serves unscaled: the widths
 * (tested once for an array) with sigma in [2^-300, 2^300] and
 * 0 < gamma <= 2^300, and |x| within 2^300; |x| and gamma within the
 * reach 2^27 sigma, beyond which the Lorentzian alone is returned
 * (voigt.cc).  False for a NaN anywhere, as every comparison with one is;
 * the tests are joined by & rather than &&, without branches.
 */
constexpr double lorentz_reach = 0x1p27;

[[gnu::always_inline]] inline bool common_widths(double sigma, double gamma, double reach)
{
	return (sigma >= 0x1p-300) & (sigma <= 0x1p300) & (gamma > 0) & (gamma <= 0x1p300)
		& (gamma <= reach);
}

[[gnu::always_inline]] inline bool common_x(double ax, double reach)
{
	return (ax <= 0x1p300) & (ax <= reach);
}

/* voigt.cc: the far Gaussian wing, where Re w is below the normal range. */
double far_wing(dd zx, double gamma, dd s2, double sigma);

/*
 * The profile where w is needed, sigma in [2^-300, 2^300], 0 < gamma,
 * |x| <= 2^27 sigma, all three within 2^300: no scaling.  The argument
 * of w is (|x| + i gamma) r, each part one exact product and one product
 * of the tail, within 2^-104 of itself.
 */
template <bool wide>
[[gnu::always_inline]] inline double profile_t(double ax, double gamma, const width &s)
{
	dd zx = times_r(ax, s.rh, s.rl), zy = times_r(gamma, s.rh, s.rl);
	if (zx.hi > 26 && zy.hi < 0x1p-950)
		return far_wing(zx, gamma, dd_mul_d({sqrt2_hi, sqrt2_lo}, s.sigma), s.sigma);
	double re, im;
	upper_t<wide>(zx, zy, &re, &im, 0);
	return s.f.hi * re + s.f.lo * re;
}

} // namespace kerb

#pragma GCC visibility pop

#endif
