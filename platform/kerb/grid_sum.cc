/* SPDX-License-Identifier: ISC */
/*
 * grid_sum.cc: w as its Taylor series about the nearest point of a grid
 * (code 6): |x|, y < 8.125 on the box grid (step 1/4), and the line wings
 * 7.75 <= |x| < 40.25, y < 10.25 on the wing grid (step 1/2).
 *
 * Method.  The coefficients c_n = w^(n)(z0) / n! about each centre z0
 * come from mkgrid (mpmath, the recurrence
 * (n + 1) c_(n+1) = -2 (z0 c_n + c_(n-1)) of w' = -2zw + 2i/sqrt(pi)),
 * as many as the cell needs for its tail to stay below 2^-56 of |w|,
 * 12 to 20.  On the real axis the centres carry w - exp(-z^2), which is i
 * times a real function there, and exp(-z^2) is added apart: Re w near
 * the axis, far below |w|, is then summed from terms that are all
 * proportional to y and keeps its relative accuracy (the Voigt profile
 * needs it); on x = 0 the centres carry the symmetry that makes Im w
 * proportional to x.
 *
 * The fast series, and the choice between the rows, are in paths.h, where
 * the arrays' loops share them; this file holds the careful series.
 *
 * Error bound: measured, 2.7e-16 of |w| at most (median 6e-17) over the
 * uniform upper box and line wings; each part that is at least 1e-3 |w|,
 * 1e-15 of itself.
 */
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kerb.h"
#include "internal.h"
#include "paths.h"

namespace kerb {

/* a times s, s of at most 26 significant bits (a grid centre's part),
 * to about 2^-78 of itself: a's head split in halves of 26 bits
 * (Veltkamp), each product by s exact; cheaper than a general exact
 * product, and the split is shared by the products by x0 and y0. */
static inline dd mul_short(dd a, double s)
{
	dd h = split(a.hi);
	return fast_two_sum(h.hi * s, h.lo * s + a.lo * s);
}

/*
 * The grid series (series in paths.h) to about 2^-60 of |w|: c_0 in
 * double-double from the table, c_1 and c_2 from it by the recurrence in
 * double-double (the products by the centre's parts, which are short,
 * exact), and the terms from t^3 on, each below 2^-7 |w| in the cells
 * that the careful reflection visits, in double, by four chains in t^4 as
 * in the fast series; on the real axis's row exp(-z^2) in double-double
 * if with_exp asks for it (the reflection there needs the series alone).
 */
void grid_taylor_dd(const grid &g, double x, double y, dd *re, dd *im, bool with_exp)
{
	cell_at at = locate(g, x, y);
	double x0 = at.x0, y0 = at.y0, tr = at.tr, ti = at.ti;
	int cell = at.cell, ng = at.ng;
	const double *c = at.coef;
	/* sum_{n >= 3} c_n t^(n-3) = P3 + t Q0 + t^2 Q1 + t^3 Q2, where P3
	 * sums c_(4k+3) v^k and Q_m sums c_(4k+m) v^(k-1) from k = 1, v = t^4:
	 * four chains of ng - 1 steps rather than one of 4 ng - 4. */
	double t2r = tr * tr - ti * ti, t2i = 2 * tr * ti;
	double vr = t2r * t2r - t2i * t2i, vi = 2 * t2r * t2i;
	double t3r = t2r * tr - t2i * ti, t3i = t2r * ti + t2i * tr;
	double q0r = 0, q0i = 0, q1r = 0, q1i = 0, q2r = 0, q2i = 0;
	double p3r = c[6], p3i = c[7];
	for (int k = 1; k < ng; k++) {
		double a = q0r * vr - q0i * vi + c[0];
		q0i = q0r * vi + q0i * vr + c[1];
		q0r = a;
		a = q1r * vr - q1i * vi + c[2];
		q1i = q1r * vi + q1i * vr + c[3];
		q1r = a;
		a = q2r * vr - q2i * vi + c[4];
		q2i = q2r * vi + q2i * vr + c[5];
		q2r = a;
		c += 8;
		a = p3r * vr - p3i * vi + c[6];
		p3i = p3r * vi + p3i * vr + c[7];
		p3r = a;
	}
	double pr = p3r + ((tr * q0r - ti * q0i) + (t2r * q1r - t2i * q1i) + (t3r * q2r - t3i * q2i));
	double pi_ = p3i + ((tr * q0i + ti * q0r) + (t2r * q1i + t2i * q1r) + (t3r * q2i + t3i * q2r));
	dd c0r = fast_two_sum(c[0], g.c0lo[2 * cell]), c0i = fast_two_sum(c[1], g.c0lo[2 * cell + 1]);
	/* c_1 = -2 z0 c_0 + 2i/sqrt(pi), c_2 = -z0 c_1 - c_0 */
	dd c1r = dd_scale(dd_add(mul_short(c0i, y0), dd_neg(mul_short(c0r, x0))), 2);
	dd c1i = dd_add(dd_scale(dd_add(mul_short(c0i, x0), mul_short(c0r, y0)), -2),
		{twortpi_hi, twortpi_lo});
	dd c2r = dd_add(dd_add(mul_short(c1i, y0), dd_neg(mul_short(c1r, x0))), dd_neg(c0r));
	dd c2i = dd_add(dd_neg(dd_add(mul_short(c1i, x0), mul_short(c1r, y0))), dd_neg(c0i));
	/* q = c_2 + t p, then c_1 + t q, then c_0 + t q, in double-double. */
	dd qr = dd_add(c2r, two_sum(pr * tr, -pi_ * ti));
	dd qi = dd_add(c2i, two_sum(pr * ti, pi_ * tr));
	for (int k = 1; k >= 0; k--) {
		dd ar = dd_add(dd_mul_d(qr, tr), dd_neg(dd_mul_d(qi, ti)));
		dd ai = dd_add(dd_mul_d(qr, ti), dd_mul_d(qi, tr));
		qr = dd_add(k ? c1r : c0r, ar);
		qi = dd_add(k ? c1i : c0i, ai);
	}
	/* The row on the real axis sums w - exp(-z^2); beyond x = 7,
	 * exp(-z^2) is below 2^-60 |w| there. */
	if (with_exp && y0 == 0 && x < 7) {
		dd er, ei;
		int k;
		exp_mz2_careful(x, y, &er, &ei, &k);
		qr = dd_add(qr, dd_ldexp(er, k - 1));
		qi = dd_add(qi, dd_ldexp(ei, k - 1));
	}
	*re = qr;
	*im = qi;
}

} // namespace kerb
