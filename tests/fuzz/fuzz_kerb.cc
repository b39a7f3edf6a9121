/* SPDX-License-Identifier: ISC */
/*
 * libkerb under libFuzzer: bit patterns in, the library's own promises
 * checked.  The library's sources are linked in, so that its internal
 * careful reflection can be called too.
 *
 * Bytes 0-15 are z = x + iy (two doubles, host order); with 24 bytes or
 * more, bytes 0-23 are also voigt's x, sigma and gamma.
 *
 *  - w(-conj z) = conj w(z) bit for bit, for every z (one path computes
 *    both: the special inputs too);
 *  - finite z: no NaN; in the upper half-plane |w| <= 1 and Re w >= 0;
 *    below it an infinity only where 2 exp(-z^2) overflows;
 *  - the reflection w(z) + w(-z) = 2 exp(-z^2), against an exponential
 *    in long double, within the error that the library claims for each w
 *    (5e-16 of |w|, loosened to 1e-15);
 *  - where the careful reflection may run (y < 0, 2 exp(-z^2) finite,
 *    outside the discs about the zeros and the series about 0), it and
 *    the value returned agree: each part within 3e-15 of itself (the
 *    bound in w_of_z.cc), plus 1e-15 |w| for parts too small for a
 *    relative bound, plus the careful path's own 2^-58 of its terms;
 *  - the method code is one that w_of_z(3) names;
 *  - voigt: even in x bit for bit, NaN for a negative width or a NaN,
 *    and for finite positive widths between 0 and the lower of the two
 *    peaks 1/(sigma sqrt(2 pi)) and 1/(pi gamma).
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kerb.h"
#include "internal.h"

static bool
same(double a, double b)
{
	return memcmp(&a, &b, sizeof a) == 0 || (isnan(a) && isnan(b));
}

static void
w(double x, double y, double *re, double *im)
{
	double _Complex z, r;

	__real__ z = x;
	__imag__ z = y;
	r = w_of_z(z);
	*re = __real__ r;
	*im = __imag__ r;
}

[[noreturn]] static void
fault(const char *what, double x, double y, double a, double b, double c, double d)
{
	fprintf(stderr, "%s at z = %a %+ai: %a %+ai against %a %+ai\n", what, x, y, a, b, c, d);
	abort();
}

static void
check_w(double x, double y)
{
	double re, im, mre, mim;

	w(x, y, &re, &im);
	int alg = faddeeva_algorithm;
	w(-x, y, &mre, &mim);
	if (!same(re, mre) || !same(im, -mim))
		fault("w(-conj z) is not conj w(z)", x, y, re, im, mre, mim);
	if (!(alg == 0 || alg == 1 || alg == 3 || alg == 4 || alg == 5 || alg == 6 ||
	    alg == 13 || alg == 14 || alg == 16))
		fault("an unknown method code", x, y, re, im, alg, 0);
	if (!isfinite(x) || !isfinite(y))
		return;

	double ax = fabs(x), ay = fabs(y);
	if (isnan(re) || isnan(im))
		fault("NaN for a finite z", x, y, re, im, 0, 0);
	if (y >= 0) {
		if (!(re >= 0 && hypot(re, im) <= 1 + 0x1p-50))
			fault("outside the unit half-disc", x, y, re, im, 0, 0);
	} else if ((isinf(re) || isinf(im)) && !((ay - ax) * (ay + ax) > 700)) {
		fault("an infinity where 2 exp(-z^2) is finite", x, y, re, im, 0, 0);
	}

	/* The reflection, where long double holds exp(-z^2) to 2^-60. */
	if (ax > 64 || ay > 64 || (ay - ax) * (ay + ax) > 700)
		return;
	long double lx = x, ly = y;
	long double mag = 2 * expl(ly * ly - lx * lx), ph = -2 * lx * ly;
	long double er = mag * cosl(ph), ei = mag * sinl(ph);
	double nre, nim;
	w(-x, -y, &nre, &nim);
	long double dr = re + (long double)nre - er, di = im + (long double)nim - ei;
	double wz = hypot(re, im), wmz = hypot(nre, nim), e = (double)mag;
	double tol = 1e-15 * (wz + wmz) + 0x1p-60 * e + 0x1p-1060;
	if (hypotl(dr, di) > tol)
		fault("w(z) + w(-z) is not 2 exp(-z^2)", x, y, re, im, nre, nim);

	/* The careful reflection against the value returned. */
	if (y >= 0 || kerb::near_zero(ax, y) >= 0 || hypot(x, y) < 0.04)
		return;
	double cre, cim;
	kerb::reflect_careful(x, y, &cre, &cim);
	double big = 0x1p-58 * (e > wmz ? e : wmz) + 1e-15 * wz + 0x1p-1060;
	if (fabs(re - cre) > 3e-15 * fabs(cre) + big || fabs(im - cim) > 3e-15 * fabs(cim) + big)
		fault("the careful reflection disagrees", x, y, re, im, cre, cim);
}

static void
check_voigt(double x, double sigma, double gamma)
{
	double v = voigt(x, sigma, gamma), mv = voigt(-x, sigma, gamma);

	if (!same(v, mv))
		fault("voigt is not even in x", x, sigma, v, mv, gamma, 0);
	if (sigma < 0 || gamma < 0 || isnan(x) || isnan(sigma) || isnan(gamma)) {
		if (!isnan(v))
			fault("voigt of a negative width or a NaN is a number", x, sigma, v, gamma, 0, 0);
		return;
	}
	if (!isfinite(x) || !isfinite(sigma) || !isfinite(gamma) || sigma == 0 || gamma == 0)
		return;
	double peak = fmin(1 / sigma / 2.5066282746310002, 1 / gamma / M_PI);
	if (!(v >= 0 && v <= peak * (1 + 0x1p-50) + 0x1p-1072))
		fault("voigt outside 0 and its peak", x, sigma, v, gamma, peak, 0);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	double d[3];

	if (size < 16)
		return -1;
	memcpy(d, data, 16);
	check_w(d[0], d[1]);
	if (size >= 24) {
		memcpy(d, data, 24);
		check_voigt(d[0], d[1], d[2]);
	}
	return 0;
}
