/* SPDX-License-Identifier: ISC */
/*
 * internal.h: what the parts of libkerb share: the constants, the method
 * codes, and the functions that one file offers the others.  Everything
 * here has external linkage inside the library and is hidden from its
 * users by the version script (kerb.map).
 */
#ifndef KERB_INTERNAL_H
#define KERB_INTERNAL_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "dd.h"
#include "tables.h"

/* Hidden from the users and known so to the compiler, which may then
 * inline and call within the library directly (with -fPIC it must
 * otherwise assume that a user might interpose each function). */
#pragma GCC visibility push(hidden)

namespace kerb {

/* Double-double constants: hi + lo, each rounded to nearest. */
constexpr double sqrtpi_hi = 0x1.c5bf891b4ef6bp+0, sqrtpi_lo = -0x1.618f13eb7ca89p-54;
constexpr double twortpi_hi = 0x1.20dd750429b6dp+0, twortpi_lo = 0x1.1ae3a914fed80p-56;
constexpr double sqrt2_hi = 0x1.6a09e667f3bcdp+0, sqrt2_lo = -0x1.bdd3413b26456p-54;
constexpr double rsqrt2pi_hi = 0x1.9884533d43651p-2, rsqrt2pi_lo = -0x1.cbc0d30ebfd15p-56;
constexpr double pi_hi = 0x1.921fb54442d18p+1, pi_lo = 0x1.1a62633145c07p-53;
constexpr double rpi_hi = 0x1.45f306dc9c883p-2;
constexpr double invln2 = 0x1.71547652b82fep+0;
/* ln 2 with 11 trailing zero bits in the high part: k * ln2_hi is exact. */
constexpr double ln2_hi = 0x1.62e42fefa3800p-1, ln2_lo = 0x1.ef35793c7673p-45;

/* 1 / Gamma(n/2 + 1), the Taylor coefficients of w in powers of iz. */
constexpr double taylor_c[27] = {
	0x1.0000000000000p+0, 0x1.20dd750429b6dp+0, 0x1.0000000000000p+0,
	0x1.812746b0379e7p-1, 0x1.0000000000000p-1, 0x1.341f6bc02c7ecp-2,
	0x1.5555555555555p-3, 0x1.6023e8dba090dp-4, 0x1.5555555555555p-5,
	0x1.390379a6c79d3p-6, 0x1.1111111111111p-7, 0x1.c74adf7e399edp-9,
	0x1.6c16c16c16c17p-10, 0x1.182e13615e892p-11, 0x1.a01a01a01a01ap-13,
	0x1.2adbd067dc4e0p-14, 0x1.a01a01a01a01ap-16, 0x1.19475abc1aa3cp-17,
	0x1.71de3a556c734p-19, 0x1.d9bb8b57c113dp-21, 0x1.27e4fb7789f5cp-22,
	0x1.68f06a2a7ab9cp-24, 0x1.ae64567f544e4p-26, 0x1.f62d19463b71cp-28,
	0x1.1eed8eff8d898p-29, 0x1.41648b0e3a864p-31, 0x1.6124613a86d09p-33,
};
/* Largest r (rounded down) at which the first n Taylor terms leave out
 * below 2^-60 of each part of w (index n).  Re w is near 1 here, but
 * Im w, odd in x, may be as small as x: the first term left out changes
 * it by at most n c_n r^(n-1) |x| (the derivative of (iz)^n in x), so
 * n c_n r^(n-1) <= 2^-60 c_1, the stricter of the two for r < 0.6. */
constexpr double taylor_r[28] = {
	0, 0, 0, 6.585e-10, 7.880e-7, 2.840e-5, 2.501e-4, 1.084e-3, 3.129e-3,
	6.989e-3, 0.01315, 0.02192, 0.03345, 0.04776, 0.06476, 0.08430,
	0.1062, 0.1303, 0.1563, 0.1840, 0.2133, 0.2439, 0.2757, 0.3085,
	0.3423, 0.3768, 0.4119, 0.4476,
};
/* Within the grid the series about 0 serves up to 13 terms. */
constexpr double taylor_rgrid = 0.03815;
/* The grids' reach: centre plus half a step. */
constexpr double box_end = 8.125;
constexpr double wing_xmin = 7.75, wing_xmax = 40.25, wing_ymax = 10.25;

/* Smallest r at which n levels of the continued fraction reach 2^-62
 * on the real axis, its worst place (index n). */
constexpr double cf_r[16] = {
	0, 1518500250.0, 38967.94, 1229.76, 226.47, 83.91, 43.95, 27.995,
	20.129, 15.677, 12.903, 11.050, 9.747, 8.791, 8.069, 7.508,
};
constexpr double cf_rmin = 8.0;
constexpr double asym_rmin = 0x1p27;

/*
 * The regions of the quadrant x, y >= 0 (finite) and the method of each
 * (w_of_z.cc): the box grid, the wing grid, the continued fraction and
 * its first level alone.  Every path, fast or careful, single call or
 * array, chooses by this one function.  The box comes first: it is where
 * users evaluate w most, and its test is all the lower half-plane asks.
 */
enum class region { box, wing, fraction, asymptotic };

inline region region_of(double x, double y)
{
	if (x < box_end && y < box_end)
		return region::box;
	if (x >= wing_xmin && x < wing_xmax && y < wing_ymax)
		return region::wing;
	return (x > y ? x : y) >= asym_rmin ? region::asymptotic : region::fraction;
}

/* Within the box, whether the series about 0 serves x + iy, and *r, the
 * radius whose terms it takes: |z|, or twice the larger part where the
 * squares could underflow (a few terms more, never fewer). */
inline bool about_origin(double x, double y, double *r)
{
	double mx = x > y ? x : y;
	if (!(mx < taylor_rgrid))
		return false;
	*r = mx < 0x1p-30 ? 2 * mx : std::sqrt(x * x + y * y);
	return *r < taylor_rgrid;
}

/* Within 1e-6 of the real axis exp(-z^2), which the continued fraction
 * cannot see, is added to it, up to where it is below every double. */
inline bool fraction_needs_exp(double x, double y)
{
	return y < 1e-6 && x < 27.5;
}

/* The codes left in faddeeva_algorithm (see w_of_z(3)). */
enum { ALG_SPECIAL = 0, ALG_TAYLOR = 1, ALG_CFRAC = 3, ALG_ASYM = 4, ALG_ZERO = 5,
	ALG_GRID = 6, ALG_REFLECT = 10 };

/* pi/2 in three parts, the first two of 30 bits: k p1 and k p2 are exact
 * for k < 2^23. */
constexpr double pio2_1 = 0x1.921fb54000000p+0, pio2_2 = 0x1.10b4611800000p-30,
	pio2_3 = 0x1.313198a2e0370p-61;

/*
 * How much of the larger term a difference may keep before its sum is
 * done again with more care.  The reflection's parts, 2 exp(-z^2) - w(-z),
 * from a cancellation of 3.7-fold (a little under two bits): below that
 * the fast terms' errors could exceed the bound on a part (w_of_z.cc
 * derives it).  The series about a zero, from the first bit lost: its
 * leading term and the rest each err by a few units of the larger, and a
 * part summed again only below a quarter of it erred by up to 2e-15 of
 * itself, below a half by 7.1e-16 (zeros.cc).
 */
constexpr double reflection_keeps = 0.27;
constexpr double zero_series_keeps = 0.5;

/* True where a - b = d keeps less than `keeps' of the larger of |a| and
 * |b|.  An infinity or a NaN in a or b makes d one too, and the test
 * false: no separate check. */
inline bool cancels(double a, double b, double d, double keeps)
{
	double fa = std::fabs(a), fb = std::fabs(b);
	return std::fabs(d) < keeps * (fa > fb ? fa : fb);
}

/* ilogb(v) for a normal v > 0, from its bits, without a call; -1023
 * for 0 and the subnormals. */
inline int exponent_of(double v)
{
	uint64_t b;
	std::memcpy(&b, &v, sizeof b);
	return static_cast<int>(b >> 52 & 0x7ff) - 1023;
}

/* The row of grid g whose centres lie nearest to y >= 0 (row 0 on the
 * real axis sums w - exp(-z^2)), as the series finds it: a y halfway
 * between two rows, whose offset is half a step either way, takes the
 * even one. */
inline int grid_row(const grid &g, double y)
{
	return static_cast<int>(nearest(y * g.scale));
}

/* exp_mz2_small's polynomials (exp.cc): 1/n! from n = 2 for exp; (-1)^n / (2n+1)! for
 * sin r / r and (-1)^n / (2n)! for cos r, from n = 1. */
constexpr double exp_c[4] = {0x1p-1, 0x1.5555555555555p-3, 0x1.5555555555555p-5,
	0x1.1111111111111p-7};
constexpr double sin_t[4] = {-0x1.5555555555555p-3, 0x1.1111111111111p-7,
	-0x1.a01a01a01a01ap-13, 0x1.71de3a556c734p-19};
constexpr double cos_t[4] = {-0x1p-1, 0x1.5555555555555p-5, -0x1.6c16c16c16c17p-10,
	0x1.a01a01a01a01ap-16};

/* exp_careful.cc's polynomials (and the array calls' copy of its steps,
 * lanes_careful.h), whose first terms are in double-double: 1/n! from n =
 * 3 for exp; (-1)^n / (2n+1)! from n = 2 for sin r / r; (-1)^n / (2n)!
 * from n = 2 for cos r; 1/6 as double-double. */
constexpr double expm1_c[4] = {0x1.5555555555555p-3, 0x1.5555555555555p-5,
	0x1.1111111111111p-7, 0x1.6c16c16c16c17p-10};
constexpr double sin_dd_c[4] = {0x1.1111111111111p-7, -0x1.a01a01a01a01ap-13,
	0x1.71de3a556c734p-19, -0x1.ae64567f544e4p-26};
constexpr double cos_dd_c[4] = {0x1.5555555555555p-5, -0x1.6c16c16c16c17p-10,
	0x1.a01a01a01a01ap-16, -0x1.27e4fb7789f5cp-22};
constexpr dd sixth = {0x1.5555555555555p-3, 0x1.5555555555555p-57};

/* v with the low 27 bits of its significand cleared: a head of 26 bits,
 * whose product with another such head is exact. */
inline double head26(double v)
{
	uint64_t b;
	std::memcpy(&b, &v, sizeof b);
	b &= ~((uint64_t(1) << 27) - 1);
	std::memcpy(&v, &b, sizeof v);
	return v;
}

/* exp.cc: exp(-z^2) and its argument reduction. */
double exp_split(dd a, int *k);
void cos_sin_dd(dd v, double *c, double *s);
unsigned huge_phase(double x, double y, dd *t);
void cos_sin_2xy(double x, double y, double *c, double *s);
void exp_mz2(dd x, dd y, double scale, double *re, double *im);
void exp_mz2_small(dd x, dd y, double *re, double *im);
/* exp_careful.cc: the same to about 2^-69. */
dd exp_dd_split(dd a, int *k);
void exp_mz2_careful(double x, double y, dd *re, dd *im, int *k);

/* taylor.cc, grid_sum.cc, zeros.cc: the series (the fast grid series is
 * paths.h's). */
void taylor(double x, double y, double r, double *re, double *im);
void grid_taylor_dd(const grid &g, double x, double y, dd *re, dd *im, bool with_exp);
void zero_series(int z, double ax, double y, double *re, double *im);

/*
 * The zero of w whose disc |z - z0| < 0.3/|z0| holds ax + iy (ax, -y <
 * 8.125), or -1.  The zeros lie where the phase of exp(-z^2), -2xy, meets
 * that of w(-z): the k-th (from 0) at x |y| / pi = k + 7/8 to within
 * 0.02, and over its disc x |y| varies by |z0| 0.3/|z0| = 0.3, so that
 * x |y| / pi + 1/8 stays within 0.11 of k + 1 (checked on all 14).  The
 * nearest whole number of it names the one zero whose disc can hold z:
 * one test instead of a search, inline, and no branch on where z lies.
 */
inline int near_zero(double ax, double y)
{
	/* The product is far below the range of int. */
	int z = static_cast<int>(ax * -y * rpi_hi + 0.625) - 1;
	z = z < 0 ? 0 : z > nzeros - 1 ? nzeros - 1 : z;
	const zero &z0 = w_zeros[z];
	double tx = ax - z0.x.hi, ty = y - z0.y.hi;
	double r2 = z0.x.hi * z0.x.hi + z0.y.hi * z0.y.hi;
	return (tx * tx + ty * ty) * r2 < 0.09 ? z : -1;
}

/* cfrac.cc: far out. */
void recip_isqrtpi(dd a, dd b, double *re, double *im);
void recip_isqrtpi_dd(dd a, dd b, dd *re, dd *im);
void cfrac_denominator(dd x, dd y, int nl, dd *fr, dd *fi);
int cfrac_levels(double r);

/* reflect.cc: the careful reflection. */
void reflect_careful(double x, double y, double *re, double *im);

/* voigt.cc: the profile for any arguments. */
double voigt_point(double x, double sigma, double gamma);

} // namespace kerb

#pragma GCC visibility pop

#endif
