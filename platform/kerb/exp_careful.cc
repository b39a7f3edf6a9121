/* SPDX-License-Identifier: ISC */
/*
 * exp_careful.cc: exp(-z^2) to about 2^-69 of itself, for the careful
 * reflection (reflect.cc) and the careful grid series on the real axis's
 * row, and the exponential behind exp_split (exp.cc).
 *
 * Method.  exp_mz2_careful: the tables of exp_mz2_small (exp.cc, from
 * mkexp), the argument reduced by ln 2 / 128 and the phase by 2 pi / 128
 * (or from the huge phase's quarter turns) in double-double, and
 * polynomials whose leading terms are in double-double.  Every operation
 * is a correctly rounded double operation (no contraction, fma nowhere):
 * the same numbers on every target.
 *
 * Error bound: within 2^-69 of |exp(-z^2)|: r^2/2 in the exponential and
 * r^3/3! in the sine are the largest terms summed in double, below 2^-17,
 * with three roundings each; measured 2^-69.9, enough for the careful
 * reflection's 2^-60.
 */
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kerb.h"
#include "internal.h"
#include "exp_tables.h"

namespace kerb {

/*
 * exp(a) = m 2^(k/128) to 2^-69 of it, |a.hi| < 1500: a - k ln 2 / 128
 * in three parts (k l1 and k l2 exact, a.hi - k l1 exact by Sterbenz's
 * lemma), then 2^(j/128) from the table times 1 + expm1 r, |r| <= ln 2 / 256:
 * r in double-double, r^2/2 and the rest (below 2^-17) in double, the
 * first term left out, r^7/7!, below 2^-71.
 */
dd exp_dd_split(dd a, int *k)
{
	int32_t n;
	double kf = nearest_int(a.hi * exp_inv, &n);
	dd r = two_sum(a.hi - kf * exp_l1, -kf * exp_l2);
	r = dd_add(r, {a.lo, 0});
	r = dd_add(r, {-kf * exp_l3, 0});
	double r2 = r.hi * r.hi + 2 * r.hi * r.lo;
	double q = r2 * (0.5 + r.hi * (expm1_c[0] + r.hi * (expm1_c[1]
		+ r.hi * (expm1_c[2] + r.hi * expm1_c[3]))));
	dd e = dd_add(r, {q, 0});
	int j = n & (exp_n - 1);
	dd t = fast_two_sum(exp2_table[j].h, exp2_table[j].l);
	*k = (n - j) / exp_n;
	return dd_add(t, dd_mul(t, e));
}

/*
 * cos and sin of j 2 pi / 128 + r, |r| <= pi / 128 and a hair, to about
 * 2^-71.  The table's entries next to a quarter turn are the quarter
 * turn's, with the step to it added to r (|r| <= 3 pi / 128 then): r^2
 * and r^3/3! in double-double, the terms from r^4/4! (below 2^-19) and
 * r^5/5! (below 2^-25) on in double, the first left out, r^12/12! and
 * r^13/13!, below 2^-74.
 */
static void cos_sin_turn_dd(unsigned j, dd r, dd *c, dd *s)
{
	const turn_entry &e = turn_table[j & (turn_n - 1)];
	r = dd_add(r, {e.off_h, e.off_l});
	dd r2 = dd_mul(r, r), r3 = dd_mul(r2, r);
	double z = r2.hi;
	double st = r3.hi * z * (sin_dd_c[0] + z * (sin_dd_c[1] + z * (sin_dd_c[2] + z * sin_dd_c[3])));
	double ct = z * z * (cos_dd_c[0] + z * (cos_dd_c[1] + z * (cos_dd_c[2] + z * cos_dd_c[3])));
	dd sr = dd_add(r, dd_add(dd_neg(dd_mul(r3, sixth)), {st, 0}));
	dd cm = dd_add(dd_scale(r2, -0.5), {ct, 0});	/* cos r - 1 */
	dd tc = fast_two_sum(e.c_h, e.c_l), ts = fast_two_sum(e.s_h, e.s_l);
	*c = dd_add(tc, dd_add(dd_mul(tc, cm), dd_neg(dd_mul(ts, sr))));
	*s = dd_add(ts, dd_add(dd_mul(ts, cm), dd_mul(tc, sr)));
}

/* The turn j and the remainder of a double-double phase v, |v.hi| < 2^21:
 * j t1 and j t2 exact, v.hi - j t1 exact by Sterbenz's lemma. */
static unsigned reduce_turn_dd(dd v, dd *r)
{
	int32_t j;
	double jf = nearest_int(v.hi * turn_inv, &j);
	dd t = two_sum(v.hi - jf * turn_1, -jf * turn_2);
	t = dd_add(t, {v.lo, 0});
	*r = dd_add(t, {-jf * turn_3, 0});
	return static_cast<uint32_t>(j);
}

/* cos and sin of 2xy to about 2^-71 of 1, for x, y finite and not 0. */
static void cos_sin_2xy_dd(double x, double y, dd *c, dd *s)
{
	int ex = std::ilogb(x), ey = std::ilogb(y);
	dd r;
	unsigned j;
	if (ex + ey >= 20) {
		/* A quarter turn is 32 of the table's steps. */
		dd t;
		unsigned q = huge_phase(x, y, &t);
		j = 32 * q + reduce_turn_dd(t, &r);
		cos_sin_turn_dd(j, r, c, s);
		if ((x < 0) != (y < 0))
			*s = dd_neg(*s);
	} else {
		int k = (ex - ey) / 2;
		dd v = two_prod(2 * std::ldexp(x, -k), std::ldexp(y, k));
		j = reduce_turn_dd(v, &r);
		cos_sin_turn_dd(j, r, c, s);
	}
}

/* 2 exp(-z^2) = (re + i im) 2^k, both parts to 2^-69 of |exp|,
 * for |x|, |y| <= 2^450 and y^2 - x^2 well inside the range of exp. */
void exp_mz2_careful(double x, double y, dd *re, dd *im, int *k)
{
	dd u = diff_squares({x, 0}, {y, 0});
	dd m = exp_dd_split(dd_neg(u), k);
	dd c = {1, 0}, s = {0, 0};
	if (x != 0 && y != 0)
		cos_sin_2xy_dd(x, y, &c, &s);
	*re = dd_scale(dd_mul(m, c), 2);
	*im = dd_scale(dd_mul(m, s), -2);
}

} // namespace kerb
