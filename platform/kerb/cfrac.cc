/* SPDX-License-Identifier: ISC */
/*
 * cfrac.cc: w far from the origin (codes 3 and 4).
 *
 * Method.  For 8 <= |z| < 2^27 outside the grids, Laplace's continued
 * fraction w = (i/sqrt pi) / (z - (1/2)/(z - 1/(z - (3/2)/(z - ...))))
 * with 2 to 15 levels chosen from |z| (cf_r, measured on the real axis,
 * its worst place), the last level and the final division in
 * double-double; near the real axis (y < 1e-6) exp(-z^2), which the
 * fraction cannot see, is added by the caller.  Beyond 2^27,
 * w = i / (sqrt(pi) z), divided in double-double with both parts scaled
 * by a power of two out of overflow.
 *
 * Error bound: 2^-62 of |w| from the truncation, 1 ulp from the
 * arithmetic.
 */
#include <cmath>
#include <cstdint>

#include "kerb.h"
#include "internal.h"

namespace kerb {

/* sqrt(pi) |f|^2 for f = a + ib given as double-double parts, with a and b
 * scaled by an exact power of two so that |f|^2 stays in range; *unscale
 * restores the quotient.  A part that the scaling pushes into the
 * subnormals is below the other's last bit. */
static dd scaled_denominator(dd *a, dd *b, double *unscale)
{
	double fa = std::fabs(a->hi), fb = std::fabs(b->hi);
	double m = fa > fb ? fa : fb;
	double scale = 1;
	if (m > 0x1p400)
		scale = 0x1p-600;
	else if (m < 0x1p-400)
		scale = 0x1p600;
	*unscale = scale;
	*a = {a->hi * scale, a->lo * scale};
	*b = {b->hi * scale, b->lo * scale};
	dd n = dd_add(two_prod(a->hi, a->hi), two_prod(b->hi, b->hi));
	n = fast_two_sum(n.hi, n.lo + 2 * (a->hi * a->lo + b->hi * b->lo));
	return dd_mul(n, {sqrtpi_hi, sqrtpi_lo});
}

/* w = i / (sqrt(pi) f) for f = a + ib given as double-double parts. */
void recip_isqrtpi(dd a, dd b, double *re, double *im)
{
	double unscale;
	dd d = scaled_denominator(&a, &b, &unscale);
	*re = dd_div(b, d) * unscale;
	*im = dd_div(a, d) * unscale;
}

/* The same to about 2^-100 (the careful reflection). */
void recip_isqrtpi_dd(dd a, dd b, dd *re, dd *im)
{
	double unscale;
	dd d = scaled_denominator(&a, &b, &unscale);
	*re = dd_mul_d(dd_quot(b, d), unscale);
	*im = dd_mul_d(dd_quot(a, d), unscale);
}

/*
 * The denominator f of Laplace's continued fraction with nl >= 1 levels,
 * w = i / (sqrt(pi) f): the levels below the last in double, the last in
 * double-double.  The caller divides, in double (recip_isqrtpi) or, in
 * the careful reflection, in double-double (recip_isqrtpi_dd).
 */
void cfrac_denominator(dd x, dd y, int nl, dd *fr, dd *fi)
{
	*fr = x;
	*fi = y;
	if (nl > 1) {
		double gr = x.hi, gi = y.hi;
		for (int k = nl - 1; k >= 2; k--) {
			double t = 0.5 * k / (gr * gr + gi * gi);
			gr = x.hi - gr * t;
			gi = y.hi + gi * t;
		}
		double t = 0.5 / (gr * gr + gi * gi);
		*fr = dd_add(x, {-gr * t, 0});
		*fi = dd_add(y, {gi * t, 0});
	}
}

/* Levels the fraction needs at r >= cf_rmin: truncation below 2^-62 of |w|. */
int cfrac_levels(double r)
{
	int nl = 2;
	while (r < cf_r[nl])
		nl++;
	return nl;
}

} // namespace kerb
