/* SPDX-License-Identifier: ISC */
/*
 * zeros.cc: w near its zeros in the lower half-plane (code 5).
 *
 * Method.  Within 0.3/|z0| of one of the 14 zeros z0 nearest the origin
 * with x > 0 (|z0| < 9.4; those with x < 0 are -conj z0), the reflection
 * 2 exp(-z^2) - w(-z) would cancel to nothing.  w is summed there as its
 * Taylor series about z0: w(z0) = 0, w'(z0) = 2i/sqrt(pi), the leading
 * term in double-double and the rest, from c_2, by Horner's rule on
 * mkgrid's coefficients (15 to 17).  Where a part of w vanishes the
 * leading term and the rest cancel in that part, and where the part keeps
 * less than half the larger of the two the series is summed again in
 * double-double by the recurrence.
 *
 * Error bound: 2^-60 |t| of each part from the truncation; measured
 * against 50-digit values on 2,940 points of the discs and their edges
 * (mktables --hostile), 3.7e-16 of |w| at most, each part within 7.1e-16
 * of itself (it reached 2e-15 when only a part below a quarter of the
 * larger term was summed again).
 */
#include <cmath>
#include <cstdint>

#include "kerb.h"
#include "internal.h"

namespace kerb {

/* The series of zero_series in double-double, the terms up to t^(n+1). */
static void zero_series_careful(const zero &z0, dd t_re, dd t_im, int n, double *re, double *im)
{
	dd pr = t_re, pi_ = t_im;
	dd ar = {0, 0}, ai = {twortpi_hi, twortpi_lo}, br = {0, 0}, bi = {0, 0};
	dd sr = dd_neg(dd_mul(ai, t_im)), si = dd_mul(ai, t_re);
	for (int k = 1; k <= n; k++) {
		dd cr = dd_add(dd_add(dd_mul(z0.x, ar), dd_neg(dd_mul(z0.y, ai))), br);
		dd ci = dd_add(dd_add(dd_mul(z0.x, ai), dd_mul(z0.y, ar)), bi);
		cr = dd_div_d(dd_scale(cr, 2), -(k + 1));
		ci = dd_div_d(dd_scale(ci, 2), -(k + 1));
		br = ar;
		bi = ai;
		ar = cr;
		ai = ci;
		dd qr = dd_add(dd_mul(pr, t_re), dd_neg(dd_mul(pi_, t_im)));
		pi_ = dd_add(dd_mul(pr, t_im), dd_mul(pi_, t_re));
		pr = qr;
		sr = dd_add(sr, dd_add(dd_mul(ar, pr), dd_neg(dd_mul(ai, pi_))));
		si = dd_add(si, dd_add(dd_mul(ar, pi_), dd_mul(ai, pr)));
	}
	*re = sr.hi + sr.lo;
	*im = si.hi + si.lo;
}

/*
 * Near a zero z0 the reflection 2 exp(-z^2) - w(-z) cancels; there w is
 * summed as its Taylor series about z0 instead: w(z0) = 0,
 * w'(z0) = 2i/sqrt(pi), and the coefficients from c_2 on are mkgrid's.
 * Within 0.3/|z0| of the zero (near_zero in internal.h finds it) the
 * terms fall by 0.6 or more each, and the offset z - z0 is exact in
 * double-double.
 */
void zero_series(int z, double ax, double y, double *re, double *im)
{
	const zero &z0 = w_zeros[z];
	double tx = ax - z0.x.hi, ty = y - z0.y.hi;
	/* t = z - z0 = (tx + tl) + i (ty + tyl), exactly. */
	dd t_re = fast_two_sum(tx, -z0.x.lo), t_im = fast_two_sum(ty, -z0.y.lo);
	double a = t_re.hi, b = t_im.hi;
	/* Horner from the top down to c_2, then times t^2. */
	int n = zero_start[z + 1] - zero_start[z];
	const double *c = zero_coef + 2 * zero_start[z];
	double pr = c[2 * n - 2], pi_ = c[2 * n - 1];
	for (int k = n - 2; k >= 0; k--) {
		double qr = pr * a - pi_ * b + c[2 * k];
		pi_ = pr * b + pi_ * a + c[2 * k + 1];
		pr = qr;
	}
	double t2r = a * a - b * b, t2i = 2 * a * b;
	double sr = pr * t2r - pi_ * t2i, si = pr * t2i + pi_ * t2r;
	/* The leading term (2i/sqrt(pi)) t in double-double. */
	dd lr = two_prod(twortpi_hi, t_im.hi), li = two_prod(twortpi_hi, t_re.hi);
	*re = -lr.hi + (sr - lr.lo - twortpi_hi * t_im.lo - twortpi_lo * t_im.hi);
	*im = li.hi + (si + li.lo + twortpi_hi * t_re.lo + twortpi_lo * t_re.hi);
	faddeeva_algorithm = ALG_ZERO;
	faddeeva_nofterms = n + 2;
	/* Where a part of w vanishes the leading term and the rest cancel
	 * in it, and the errors of the two, each a few units of the larger,
	 * grow by the ratio of the larger to the part: from the first bit
	 * lost (a part below half the larger) the sum is repeated in
	 * double-double. */
	if (cancels(lr.hi, sr, *re, zero_series_keeps) || cancels(li.hi, si, *im, zero_series_keeps))
		zero_series_careful(z0, t_re, t_im, n + 3, re, im);
}

} // namespace kerb
