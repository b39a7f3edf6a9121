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
 * Error bound: measured, 2.7e-16 of |w| at most (median 6e-17) over the
 * uniform upper box and line wings; each part that is at least 1e-3 |w|,
 * 1e-15 of itself.
 */
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kerb.h"
#include "internal.h"

namespace kerb {

/*
 * A complex number as a pair of doubles, which the compiler may keep in
 * one vector register (SSE2 on x86; elsewhere it is two doubles): each
 * part is formed by the same products and sums in the same order as in
 * scalar code, so the results are the same to the bit, in fewer
 * instructions where the pair is one register.
 */
typedef double pair __attribute__((vector_size(16)));

static inline pair load_pair(const double *p)
{
	pair v;
	std::memcpy(&v, p, sizeof v);
	return v;
}

/* p t, t = (tr, ti) given as tt = (tr, tr) and ts = (-ti, ti):
 * (pr tr - pi ti, pi tr + pr ti). */
[[gnu::always_inline]] static inline pair times(pair p, pair tt, pair ts)
{
	return p * tt + __builtin_shufflevector(p, p, 1, 0) * ts;
}

/* The cell of grid g whose centre z0 lies nearest to x + iy (x, y >= 0
 * within the grid) and the offset t = z - z0. */
struct cell_at {
	int cell, ng;		/* index, and its number of groups of four */
	const double *coef;	/* its coefficients, highest group first */
	double x0, y0, tr, ti;	/* the centre, and the offset from it */
};

static inline cell_at locate(const grid &g, double x, double y)
{
	/* x - x0 and y in steps, exactly (a power of two apart from x0, and
	 * x - x0 exact by Sterbenz or a zero x0), less the nearest centre's
	 * whole number of steps, exactly. */
	double xs = (x - g.x0) * g.scale, ys = y * g.scale;
	double xr = nearest(xs), yr = nearest(ys);
	int cell = g.nx * static_cast<int>(yr) + static_cast<int>(xr);
	return {cell, g.start[cell + 1] - g.start[cell], g.coef + 8 * g.start[cell],
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
template <bool with_exp>
[[gnu::always_inline]] static inline int series(const grid &g, dd x, dd y,
	double *re, double *im, double e_re = 0, double e_im = 0)
{
	cell_at at = locate(g, x.hi, y.hi);
	double tr = at.tr + x.lo, ti = at.ti + y.lo;
	int ng = at.ng;
	const double *c = at.coef;
	double t2r = tr * tr - ti * ti, t2i = 2 * tr * ti;
	double vr = t2r * t2r - t2i * t2i, vi = 2 * t2r * t2i;
	double t3r = t2r * tr - t2i * ti, t3i = t2r * ti + t2i * tr;
	pair vv = {vr, vr}, vs = {-vi, vi};
	pair p0 = load_pair(c), p1 = load_pair(c + 2), p2 = load_pair(c + 4), p3 = load_pair(c + 6);
	for (int k = 1; k < ng; k++) {
		c += 8;
		p0 = times(p0, vv, vs) + load_pair(c);
		p1 = times(p1, vv, vs) + load_pair(c + 2);
		p2 = times(p2, vv, vs) + load_pair(c + 4);
		p3 = times(p3, vv, vs) + load_pair(c + 6);
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

int grid_series(const grid &g, dd x, dd y, double *re, double *im)
{
	return series<false>(g, x, y, re, im);
}

/*
 * w by grid_series, exp(-z^2) added on the real axis's row unless it is
 * below 2^-60 of Re w ~ y / (sqrt(pi) x^2), that is unless x^2 - y^2 >
 * 41.6 + ln(sqrt(pi) x^2) - ln y, which for x < 40.25 holds where
 * x^2 - y^2 > 50 - ln 2 ilogb(y) (with y = 0 or tiny it is always added).
 * The exponential is started first: it does not wait for the series.
 */
int grid_taylor(const grid &g, dd x, dd y, double *re, double *im)
{
	if (grid_row(g, y.hi) == 0 && (y.hi < 0x1p-1000
		|| (x.hi - y.hi) * (x.hi + y.hi) < 50 - 0.6931 * exponent_of(y.hi))) {
		double er, ei;
		exp_mz2_small(x, y, &er, &ei);
		return series<true>(g, x, y, re, im, er, ei);
	}
	return series<false>(g, x, y, re, im);
}

/* a times s, s of at most 26 significant bits (a grid centre's part),
 * to about 2^-78 of itself: a's head split in halves of 26 bits
 * (Veltkamp), each product by s exact; cheaper than a general exact
 * product, and the split is shared by the products by x0 and y0. */
static inline dd mul_short(dd a, double s)
{
	constexpr double split = 0x1p27 + 1;
	double ca = split * a.hi;
	double ah = ca - (ca - a.hi), al = a.hi - ah;
	return fast_two_sum(ah * s, al * s + a.lo * s);
}

/*
 * The series of grid_taylor to about 2^-60 of |w|: c_0 in double-double
 * from the table, c_1 and c_2 from it by the recurrence in double-double
 * (the products by the centre's parts, which are short, exact), and the
 * terms from t^3 on, each below 2^-7 |w| in the cells that the careful
 * reflection visits, in double, by the four chains in t^4 of
 * grid_series; on the real axis's row exp(-z^2) in double-double if
 * with_exp asks for it (the reflection there needs the series alone).
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
