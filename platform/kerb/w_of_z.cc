/* SPDX-License-Identifier: ISC */
/*
 * w_of_z.cc: the Faddeeva function w(z) = exp(-z^2) erfc(-iz).
 *
 * Method.  Symmetry first: w(-conj z) = conj w(z) takes x to |x|, and in
 * the lower half-plane w(z) = 2 exp(-z^2) - w(-z).  In the quadrant
 * x >= 0, y >= 0, with r = |z|:
 *
 *   r < 0.038        Taylor series about 0 (taylor.cc, code 1).
 *   x, y < 8.125     Taylor series about the nearest point of a grid of
 *                    step 1/4, coefficients tabulated by mkgrid
 *                    (grid_sum.cc, code 6).
 *   7.75 <= x < 40.25, y < 10.25
 *                    the same on a grid of step 1/2 (code 6).
 *   r < 2^27         Laplace's continued fraction, exp(-z^2) added within
 *                    1e-6 of the real axis (cfrac.cc, code 3).
 *   r >= 2^27        w = i / (sqrt(pi) z) (code 4).
 *
 * In the lower half-plane, within 0.3/|z0| of one of the 14 zeros z0 of
 * w with |z0| < 9.4 (and their mirror images), the reflection would
 * cancel to nothing: w is summed there as its Taylor series about z0
 * (zeros.cc, code 5).  Elsewhere 2 exp(-z^2) (exp.cc) is added to
 * -w(-z); codes 13, 14 and 16 are 3, 4 and 6 reflected so.  Where the
 * subtraction loses nearly two bits in a part (below), both terms are
 * recomputed to about 2^-60 of their size and rounded once (reflect.cc).
 *
 * How much cancellation the fast terms bear.  A part p = a - b of the
 * reflection errs by the errors of its terms and half an ulp of p.
 * Against the careful terms, on 10^7 points of the lower box, the two
 * terms together erred by at most 6.7e-16 of the larger,
 * M = max(|a|, |b|) (2 exp(-z^2) by 3.2e-16 of M, at most 1.7 ulp of
 * itself; the series by 5.5e-16 of |w(-z)|, which is more of M where
 * w(-z)'s part is its smaller one), so p is within 6.7e-16 M/|p| +
 * 1.1e-16 of itself.  The bound on a part, 3e-15 of itself, bears M/|p|
 * up to 4.3: from M/|p| = 3.7 (a little under two bits lost) the terms
 * are recomputed, which leaves the fast path 2.6e-15 at worst, with room
 * for a worse point than the 10^7 showed.  None secures the norm-wise
 * aim, 5e-16 of |w|, either (the terms alone may err by 6.7e-16 of M,
 * and M may be |w|); the tables meet it, 3.0e-16.  A part below
 * 1e-3 |w|, which the per-part bound leaves out, could be spared the
 * careful terms, but in the lower box 1 careful call in 70 has one: not
 * worth a test on every call.  Should either term's error grow, the
 * 6.7e-16 is to be measured again.
 *
 * Error bound, measured against 50-digit tables of 124,947 points on
 * every target: 3.0e-16 relative to |w|, median 2.3e-17; each part,
 * where it is at least 1e-3 |w| and normal, within 1.2e-15 of itself.
 *
 * The error-free products need correctly rounded double arithmetic: on
 * x86 the library is compiled for SSE2, and contraction into fused
 * multiply-adds is off everywhere (fma is used only where it is exact).
 */
#include <cmath>
#include <cstdint>

#include <complex.h>
#undef complex
#undef I

#include "kerb.h"
#include "internal.h"

int faddeeva_algorithm;
int faddeeva_nofterms;

namespace kerb {

/* True where the reflection's a - b = d has cancelled so far that the
 * fast terms' errors could exceed the bound on d (see above). */
static inline bool reflection_cancels(double a, double b, double d)
{
	double fa = std::fabs(a), fb = std::fabs(b);
	return std::fabs(d) < 0.27 * (fa > fb ? fa : fb)
		&& std::isfinite(a) && std::isfinite(b);
}

/* w(x + iy) for x >= 0, y >= 0, both finite and given as double-double. */
void upper(dd x, dd y, double *re, double *im)
{
	double mx = x.hi > y.hi ? x.hi : y.hi;
	if (mx >= asym_rmin) {
		recip_isqrtpi(x, y, re, im);
		faddeeva_algorithm = ALG_ASYM;
		faddeeva_nofterms = 1;
		return;
	}
	if (mx < taylor_rgrid) {
		double r = mx < 0x1p-30 ? 2 * mx : std::sqrt(x.hi * x.hi + y.hi * y.hi);
		if (r < taylor_rgrid) {
			taylor(x.hi + x.lo, y.hi + y.lo, r, re, im);
			return;
		}
	}
	if (x.hi < box_end && y.hi < box_end) {
		faddeeva_nofterms = grid_taylor(box_grid, x, y, re, im);
		faddeeva_algorithm = ALG_GRID;
		return;
	}
	if (x.hi >= wing_xmin && x.hi < wing_xmax && y.hi < wing_ymax) {
		faddeeva_nofterms = grid_taylor(wing_grid, x, y, re, im);
		faddeeva_algorithm = ALG_GRID;
		return;
	}
	int nl = cfrac_levels(std::sqrt(x.hi * x.hi + y.hi * y.hi));
	dd fr, fi;
	cfrac_denominator(x, y, nl, &fr, &fi);
	recip_isqrtpi(fr, fi, re, im);
	if (y.hi < 1e-6 && x.hi < 27.5) {
		double er, ei;
		exp_mz2(x, y, 1, &er, &ei);
		*re += er;
		*im += ei;
	}
	faddeeva_algorithm = ALG_CFRAC;
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
static void lower_box(double x, double y, double *re, double *im)
{
	double ax = std::fabs(x), ay = -y;
	if (ax < taylor_rgrid && ay < taylor_rgrid) {
		double r = ax < 0x1p-30 && ay < 0x1p-30 ? 2 * (ax > ay ? ax : ay)
			: std::sqrt(x * x + y * y);
		if (r < taylor_rgrid) {
			taylor(ax, y, r, re, im);
			if (std::signbit(x))
				*im = -*im;
			return;
		}
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
	faddeeva_nofterms = grid_series(box_grid, {ax, 0}, {ay, 0}, &ur, &ui);
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
	/* Within the box every term is finite: one branch, seldom taken. */
	double a = std::fabs(er), b = std::fabs(ur), c = std::fabs(ei), d = std::fabs(ui);
	if ((std::fabs(*re) < 0.27 * (a > b ? a : b)) | (std::fabs(*im) < 0.27 * (c > d ? c : d)))
		reflect_careful(x, y, re, im);
}

/* w(z) for finite z. */
static void w_finite(double x, double y, double *re, double *im)
{
	if (y >= 0) {
		upper({std::fabs(x), 0}, {y, 0}, re, im);
		if (std::signbit(x))
			*im = -*im;
		return;
	}
	double ax = std::fabs(x), ay = -y;
	if (ax < box_end && ay < box_end) {
		lower_box(x, y, re, im);
		return;
	}
	/* w(z) = 2 exp(-z^2) - w(-z); w(-z) = conj w(|x| - iy) when x >= 0.
	 * Beyond the box |z| > 8: neither the series about 0 nor a zero. */
	double ur, ui;
	upper({ax, 0}, {ay, 0}, &ur, &ui);
	if (!std::signbit(x))
		ui = -ui;
	faddeeva_algorithm += ALG_REFLECT;
	double er, ei;
	if (ax <= 0x1p450 && ay <= 0x1p450) {
		/* 2 exp(-z^2) below 2^-62 of either part of w(-z) changes
		 * neither (a zero part keeps it: its exponent is below any
		 * d here). */
		double d = (ay - ax) * (ay + ax);
		double fu = std::fabs(ur), fi = std::fabs(ui);
		if (d < -750 || (d < -40 && d * 1.4427 < exponent_of(fu < fi ? fu : fi) - 63)) {
			*re = -ur;
			*im = -ui;
			return;
		}
		if (ax < 16 && ay < 16) {
			exp_mz2_small({x, 0}, {y, 0}, &er, &ei);
			er *= 2;
			ei *= 2;
		} else {
			exp_mz2({x, 0}, {y, 0}, 2, &er, &ei);
		}
		*re = er - ur;
		*im = ei - ui;
		if (reflection_cancels(er, ur, *re) || reflection_cancels(ei, ui, *im))
			reflect_careful(x, y, re, im);
		return;
	} else {
		/* Out of reach of exact squares, exp(y^2 - x^2) is 0, 1 (when
		 * |x| = |y|) or infinite. */
		if (ay < ax) {
			*re = -ur;
			*im = -ui;
			return;
		}
		double c, s;
		cos_sin_2xy(x, y, &c, &s);
		double mag = ay == ax ? 2 : INFINITY;
		er = mag * c;
		ei = s == 0 ? -s : -mag * s;
	}
	*re = er - ur;
	*im = ei - ui;
}

} // namespace kerb

using namespace kerb;

extern "C" double _Complex w_of_z(double _Complex z)
{
	double x = __real__ z, y = __imag__ z;
	double re, im;
	if (std::isfinite(x) && std::isfinite(y)) {
		w_finite(x, y, &re, &im);
	} else {
		faddeeva_algorithm = ALG_SPECIAL;
		faddeeva_nofterms = 0;
		if (std::isnan(x) || std::isnan(y)) {
			re = im = NAN;
		} else if (y == -INFINITY) {
			/* exp(y^2) wins; its phase is known only on the axis. */
			re = x == 0 ? INFINITY : NAN;
			im = x == 0 ? std::copysign(0.0, x) : NAN;
			if (std::isinf(x))
				re = im = NAN;
		} else {
			/* |z| infinite with y > -inf: w -> i / (sqrt(pi) z) = 0,
			 * with the signs of y and x. */
			re = std::copysign(0.0, y);
			im = std::copysign(0.0, x);
		}
	}
	double _Complex w;
	__real__ w = re;
	__imag__ w = im;
	return w;
}
