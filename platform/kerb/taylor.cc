/* SPDX-License-Identifier: ISC */
/*
 * taylor.cc: w about 0 (code 1).
 *
 * Method.  w(z) = sum (iz)^n / Gamma(n/2 + 1), summed by Horner's rule in
 * iz with as many terms as |z| <= r needs for the terms left out to stay
 * below 2^-60 of each part, Im w, which is odd in x and may be as small
 * as x, included (taylor_r in internal.h: 3 for |z| < 6.6e-10, 13 at the
 * largest r where it is used, 0.038), the leading terms
 * 1 + (2i/sqrt(pi)) z in double-double so that Im w = 2x/sqrt(pi) keeps
 * its last bit however small x is.  Any quadrant.
 *
 * Error bound: 0.6 ulp of |w|; Im w within 1 ulp of itself.
 */
#include <cmath>
#include <cstdint>

#include "kerb.h"
#include "internal.h"

namespace kerb {

/* Taylor series about 0: sum of (iz)^n / Gamma(n/2 + 1), with as many
 * terms as |z| <= r needs; any quadrant. */
void taylor(double x, double y, double r, double *re, double *im)
{
	int nt = 3;
	while (r > taylor_r[nt])
		nt++;
	faddeeva_algorithm = ALG_TAYLOR;
	faddeeva_nofterms = nt;
	/* iz = -y + ix */
	double zr = -y, zi = x;
	double sr = taylor_c[nt - 1], si = 0;
	for (int n = nt - 2; n >= 2; n--) {
		double tr = sr * zr - si * zi;
		si = sr * zi + si * zr;
		sr = tr + taylor_c[n];
	}
	/* w = 1 + iz (c1 + iz s): the leading terms in double-double, so
	 * that Im w = 2x/sqrt(pi) (1 - ...) keeps its last bit. */
	double tr = sr * zr - si * zi;
	double ti = sr * zi + si * zr;
	dd a = two_sum(twortpi_hi, tr);
	a.lo += twortpi_lo;
	dd p = two_prod(a.hi, zi);
	*im = p.hi + (p.lo + a.lo * zi + ti * zr);
	*re = 1 + (a.hi * zr - ti * zi);
}

} // namespace kerb
