/*
 * trapezoid.cc: w in double-double for the careful reflection near the
 * real axis (|y| < 1/8), where the grid's row on the axis would need
 * exp(-z^2) in double-double as well.
 *
 * Method.  The trapezoidal rule with step h = 15/32 on nodes centred on
 * x, every node's exp(-t^2) stepped from the last in double-double, plus
 * the exact residue of the pole.
 *
 * Error bound: exp(-pi^2/h^2) < 4e-20 of |w| from aliasing, about 2^-100
 * from the arithmetic.
 */
#include <cmath>
#include <cstdint>

#include "kerb.h"
#include "internal.h"

namespace kerb {

/* The trapezoidal rule for w = (i/pi) int exp(-t^2)/(z - t) dt in
 * double-double, x >= 0, y > 0: step h = 15/32 on nodes x +- h(m + 1/2),
 * so that z sits midway between two nodes, plus the exact residue of the
 * pole at t = z, 2 exp(-z^2) / (1 + exp(2 pi y / h)); aliasing costs
 * exp(-pi^2/h^2) < 4e-20 of |w|. */
void trapezoid_careful(double x, double y, dd *re, dd *im)
{
	const double tmax = 8;	/* exp(-64) < 2e-28 */
	dd y2 = two_prod(y, y);
	dd sr = {0, 0}, si = {0, 0};
	int m0 = x > tmax ? static_cast<int>((x - tmax) / trap_h) : 0;
	/* exp(-(x -+ s)^2) from node to node: the next is this one times
	 * exp(+-2h(x -+ s) - h^2), and that factor gains exp(-2h^2) a step;
	 * each step adds about 2^-104 to the error. */
	double s = trap_h * (m0 + 0.5);
	dd a = two_sum(x, -s), b = two_sum(x, s);
	const double h2 = trap_h * trap_h;
	dd em = exp_careful(dd_neg(dd_mul(a, a))), ep = exp_careful(dd_neg(dd_mul(b, b)));
	dd fm = exp_careful(dd_add(dd_mul_d(a, 2 * trap_h), {-h2, 0}));
	dd fp = exp_careful(dd_add(dd_mul_d(b, -2 * trap_h), {-h2, 0}));
	const dd step = exp_careful({-2 * h2, 0});
	for (int m = m0;; m++) {
		s = trap_h * (m + 0.5);
		if (x - s < -tmax)
			break;
		dd inv = dd_quot({1, 0}, dd_add(two_prod(s, s), y2));
		sr = dd_add(sr, dd_mul(dd_add(em, ep), inv));
		si = dd_add(si, dd_mul(dd_mul_d(dd_add(em, dd_neg(ep)), s), inv));
		em = dd_mul(em, fm);
		ep = dd_mul(ep, fp);
		fm = dd_mul(fm, step);
		fp = dd_mul(fp, step);
	}
	dd hpi = dd_mul({trap_h, 0}, {rpi_hi, rpi_lo});
	*re = dd_mul(dd_mul_d(sr, y), hpi);
	*im = dd_mul(si, hpi);
	/* The pole: 2 exp(-z^2) / (1 + exp(2 pi y / h)). */
	dd q = dd_mul({twopi_h_hi, twopi_h_lo}, {y, 0});
	if (y2.hi - x * x - q.hi > -760) {
		dd er, ei, eq;
		int k, kq;
		exp_mz2_careful(x, y, &er, &ei, &k);
		eq = exp_dd_split(q, &kq);
		dd d = dd_add(eq, {std::ldexp(1.0, -kq), 0});
		*re = dd_add(*re, dd_ldexp(dd_quot(er, d), k - kq));
		*im = dd_add(*im, dd_ldexp(dd_quot(ei, d), k - kq));
	}
}

} // namespace kerb
