/* SPDX-License-Identifier: ISC */
/*
 * reflect.cc: the careful reflection.
 *
 * Method.  In the lower half-plane w(z) = 2 exp(-z^2) - w(-z).  Along the
 * curves where Re w or Im w vanishes the subtraction cancels in that
 * part; where it cancels 3.7-fold or more in double (w_of_z.cc says
 * why there), both terms are recomputed to about 2^-60 of their size and
 * the difference is rounded once: w(-z) by the grid series in
 * double-double (the low part of c_0 from the table, c_1 and c_2 from it
 * by the recurrence; on the box grid's row along the real axis the
 * series of w - exp(-z^2), and w(z) = exp(-z^2) - that) or by the continued
 * fraction with its last division in double-double (beyond
 * 2^27 its first level, i / (sqrt(pi) (z - 1/(2z)))); 2 exp(-z^2) by
 * exp_mz2_careful.
 *
 * Error bound: each part within 2^-60 of the larger term, so a part that
 * keeps 1/3.7 of it keeps 2^-58 of itself.
 */
#include <cmath>

#include "kerb.h"
#include "internal.h"

namespace kerb {

/* The continued fraction with its last division in double-double. */
static void cfrac_careful(double x, double y, int nl, dd *re, dd *im)
{
	dd fr, fi;
	cfrac_denominator({x, 0}, {y, 0}, nl, &fr, &fi);
	recip_isqrtpi_dd(fr, fi, re, im);
}

/* w(x + iy) for x >= 0, y > 0 to about 2^-60 of |w| in each part, where
 * the reflection may cancel. */
static void upper_careful(double x, double y, dd *re, dd *im)
{
	switch (region_of(x, y)) {
	case region::box:
		grid_taylor_dd(box_grid, x, y, re, im, true);
		return;
	case region::wing:
		grid_taylor_dd(wing_grid, x, y, re, im, true);
		return;
	case region::asymptotic:
		/* i / (sqrt(pi) (z - 1/(2z))): the leading term alone is short
		 * by 1/(2z^2), 2^-55 at the switch. */
		if ((x > y ? x : y) < 0x1p500)
			cfrac_careful(x, y, 2, re, im);
		else
			recip_isqrtpi_dd({x, 0}, {y, 0}, re, im);
		return;
	case region::fraction:
		break;
	}
	/* Outside both grids r >= 8. */
	double r = std::sqrt(x * x + y * y);
	/* The levels below the last cost 2^-53 / (2 r^2) of |w|. */
	int nl = cfrac_levels(r);
	cfrac_careful(x, y, nl < 15 ? nl + 1 : nl, re, im);
	if (fraction_needs_exp(x, y)) {
		dd er, ei;
		int k;
		exp_mz2_careful(x, y, &er, &ei, &k);
		*re = dd_add(*re, dd_ldexp(dd_ldexp(er, -1), k));
		*im = dd_add(*im, dd_ldexp(dd_ldexp(ei, -1), k));
	}
}

/* a 2^k: a product by a power of two made from its bits where 2^k is
 * normal (exact while the parts stay normal), not a call. */
static dd times_pow2(dd a, int k)
{
	if (k < -1000 || k > 1000)
		return dd_ldexp(a, k);
	return dd_scale(a, pow2(k));
}

/* w(z) = 2 exp(-z^2) - w(-z) for y < 0, each term to about 2^-60 of
 * itself, rounded once.  On the box grid's row on the real axis the
 * series is that of w - exp(-z^2): w(z) = exp(-z^2) - that, one careful
 * exponential instead of two. */
void reflect_careful(double x, double y, double *re, double *im)
{
	double ax = std::fabs(x), ay = -y;
	dd er, ei, ur, ui;
	int k;
	exp_mz2_careful(x, y, &er, &ei, &k);
	if (region_of(ax, ay) == region::box && grid_row(box_grid, ay) == 0) {
		grid_taylor_dd(box_grid, ax, ay, &ur, &ui, false);
		k--;
	} else {
		upper_careful(ax, ay, &ur, &ui);
	}
	if (!std::signbit(x))
		ui = dd_neg(ui);
	dd r = dd_add(times_pow2(er, k), dd_neg(ur));
	dd i = dd_add(times_pow2(ei, k), dd_neg(ui));
	*re = r.hi + r.lo;
	*im = i.hi + i.lo;
}

} // namespace kerb
