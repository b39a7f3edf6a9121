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
 * and M may be |w|); the tables meet it, 4.8e-16 at worst, just outside
 * the disc of a zero, where |w| is smallest against M.  A part below
 * 1e-3 |w|, which the per-part bound leaves out, could be spared the
 * careful terms, but in the lower box 1 careful call in 70 has one: not
 * worth a test on every call.  Should either term's error grow, the
 * 6.7e-16 is to be measured again.
 *
 * Error bound, measured against 50-digit tables of 136,373 points, the
 * same bits on every target, 11,426 of them aimed at the worst places
 * (mktables --hostile): 4.8e-16 relative to |w|, median 2.6e-17; each
 * part, where it is at least 1e-3 |w| and normal, within 1.14e-15 of
 * itself (the fast reflection, code 16, where a part keeps a little over
 * 0.27 of the larger term; 7.1e-16 in the discs about the zeros).
 *
 * The error-free products need correctly rounded double arithmetic: on
 * x86 the library is compiled for SSE2, and contraction into fused
 * multiply-adds is off everywhere, and fma is used nowhere: the same
 * numbers on every target.
 */
#include <cmath>
#include <cstdint>

#include <complex.h>
#undef complex
#undef I

#include "kerb.h"
#include "internal.h"
#include "paths.h"

int faddeeva_algorithm;
int faddeeva_nofterms;

namespace kerb {

/* w(z) for finite z in the lower half-plane outside the lower box:
 * w(z) = 2 exp(-z^2) - w(-z); w(-z) = conj w(|x| - iy) when x >= 0.
 * Beyond the box |z| > 8: neither the series about 0 nor a zero. */
void lower_far(double x, double y, double *re, double *im)
{
	double ax = std::fabs(x), ay = -y;
	double ur, ui;
	upper_t<false>({ax, 0}, {ay, 0}, &ur, &ui, ALG_REFLECT);
	if (!std::signbit(x))
		ui = -ui;
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
		if (cancels(er, ur, *re, reflection_keeps) || cancels(ei, ui, *im, reflection_keeps))
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

/* w(z) where x or y is an infinity or a NaN. */
void w_special(double x, double y, double *re, double *im)
{
	faddeeva_algorithm = ALG_SPECIAL;
	faddeeva_nofterms = 0;
	if (std::isnan(x) || std::isnan(y)) {
		*re = *im = NAN;
	} else if (y == -INFINITY) {
		/* exp(y^2) wins; its phase is known only on the axis. */
		*re = x == 0 ? INFINITY : NAN;
		*im = x == 0 ? std::copysign(0.0, x) : NAN;
		if (std::isinf(x))
			*re = *im = NAN;
	} else {
		/* |z| infinite with y > -inf: w -> i / (sqrt(pi) z) = 0,
		 * with the signs of y and x. */
		*re = std::copysign(0.0, y);
		*im = std::copysign(0.0, x);
	}
}

} // namespace kerb

using namespace kerb;

extern "C" double _Complex w_of_z(double _Complex z)
{
	double re, im;
	w_point_t<false>(__real__ z, __imag__ z, &re, &im);
	double _Complex w;
	__real__ w = re;
	__imag__ w = im;
	return w;
}
