/*
 * kerb.cc: the Faddeeva function w(z) = exp(-z^2) erfc(-iz) and the
 * normalised Voigt profile.
 *
 * Method.  Symmetry first: w(-conj z) = conj w(z) takes x to |x|, and in
 * the lower half-plane w(z) = 2 exp(-z^2) - w(-z).  In the quadrant
 * x >= 0, y >= 0, with r = |z|:
 *
 *   r < 0.52     Taylor series w = sum (iz)^n / Gamma(n/2 + 1), 3 to 27
 *                terms chosen from r (code 1).
 *   r < 8        trapezoidal rule for w = (i/pi) int exp(-t^2)/(z - t) dt
 *                with step h = 15/32 on nodes x +- h(m + 1/2), so that z
 *                sits midway between two nodes, plus the exact residue of
 *                the pole at t = z, 2 exp(-z^2) / (1 + exp(2 pi y / h)).
 *                Aliasing costs exp(-pi^2/h^2) < 4e-20; nodes with
 *                exp(-t^2) < 6e-19 are dropped.  Node pairs x -+ s are
 *                summed as exp(-x^2-s^2) (cosh, sinh)(2xs), which keeps
 *                Im w exact in sign and free of cancellation (code 2).
 *   r < 2^27     Laplace's continued fraction
 *                w = (i/sqrt pi) / (z - (1/2)/(z - 1/(z - (3/2)/(z - ...))))
 *                with 2 to 15 levels chosen from r, its last level and
 *                the final division carried in double-double; near the
 *                real axis (y < 1e-6) exp(-z^2), which the fraction
 *                cannot see, is added (code 3).
 *   r >= 2^27    w = i / (sqrt(pi) z), divided in double-double (code 4).
 *
 * In the lower half-plane, within 0.3/|z0| of one of the 14 zeros z0 of w
 * with |z0| < 9.4 (and their mirror images), the reflection would cancel
 * to nothing: w is summed there as its Taylor series about z0 (code 5).
 * exp(-z^2) is built from x^2 - y^2 and 2xy held exactly as double-double
 * numbers, with the exponent split off as a power of two so that a
 * product with a small cosine does not overflow on the way, and the phase
 * 2xy is reduced exactly for |xy| >= 2^20 (192 bits of 1/pi); so the
 * lower half-plane keeps its digits wherever the reflection does not
 * cancel.
 * Codes 12 to 14 are 2 to 4 reflected into the lower half-plane.
 *
 * Along the curves where Re w or Im w vanishes the reflection still
 * cancels in that part.  Where the subtraction in double loses more than
 * two bits, both terms are recomputed to about 2^-60 of their size and
 * rounded once: exp of the double-double -(x^2 - y^2) (reduced by ln 2 in
 * three parts and 2^9, Taylor series, nine squarings), cos and sin of 2xy
 * (reduced by pi/2 in three parts, or 96 bits of the huge phase; Taylor
 * series), the trapezoid sum with every node's exp(-t^2) and the pole in
 * double-double, and the continued fraction's last division (beyond 2^27
 * its first level, i / (sqrt(pi) (z - 1/(2z)))).  The series
 * about a zero is repeated in double-double where a part cancels in it.
 *
 * Error bound, measured against a 50-digit table of 115,947 points on
 * every target: 7.6e-16 relative to |w|, median 1.8e-17; each part,
 * where it is at least 1e-3 |w| and normal, within 3.0e-15 of itself.
 *
 * The error-free products need correctly rounded double arithmetic: on
 * x86 this file is compiled for SSE2, and contraction into fused
 * multiply-adds is off everywhere (fma is used only where it is exact).
 */
#include <cmath>
#include <cstdint>

#include <complex.h>
#undef complex
#undef I

#include "kerb.h"
#include "dd.h"
#include "tables.h"

int faddeeva_algorithm;
int faddeeva_nofterms;

namespace {

using namespace kerb;

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
/* Largest r at which the first n Taylor terms reach 2^-60 (index n). */
constexpr double taylor_r[28] = {
	0, 0, 0, 1.04e-6, 3.62e-5, 3.10e-4, 1.31e-3, 3.73e-3, 8.21e-3,
	0.01527, 0.02521, 0.03815, 0.05407, 0.07283, 0.09426, 0.1181,
	0.1442, 0.1722, 0.2020, 0.2333, 0.2660, 0.2998, 0.3345, 0.3702,
	0.4065, 0.4434, 0.4808, 0.5186,
};
/* Within the grid the series about 0 serves up to 11 terms. */
constexpr double taylor_rgrid = 0.03815;
/* The grids' reach: centre plus half a step. */
constexpr double box_end = 8.125;
constexpr double wing_xmin = 7.5, wing_xmax = 40.5, wing_ymax = 10.5;

/* Smallest r at which n levels of the continued fraction reach 2^-62
 * on the real axis, its worst place (index n). */
constexpr double cf_r[16] = {
	0, 1518500250.0, 38967.94, 1229.76, 226.47, 83.91, 43.95, 27.995,
	20.129, 15.677, 12.903, 11.050, 9.747, 8.791, 8.069, 7.508,
};
constexpr double cf_rmin = 8.0;
constexpr double asym_rmin = 0x1p27;

constexpr double trap_h = 0.46875;	/* 15/32: h(m + 1/2) squares exactly */

enum { ALG_SPECIAL = 0, ALG_TAYLOR = 1, ALG_TRAP = 2, ALG_CFRAC = 3, ALG_ASYM = 4,
	ALG_ZERO = 5, ALG_GRID = 6, ALG_REFLECT = 10 };

constexpr double ln2_lo2 = 0x1.f97b57a079a19p-103;
constexpr double rpi_lo = -0x1.6b01ec5417056p-56;
constexpr double twopi_h_hi = 0x1.acee9f37bebd6p+3, twopi_h_lo = -0x1.7d74eb872d10ap-51;
/* pi/2 in three parts, the first two of 30 bits: k p1 and k p2 are exact
 * for k < 2^23. */
constexpr double pio2_1 = 0x1.921fb54000000p+0, pio2_2 = 0x1.10b4611800000p-30,
	pio2_3 = 0x1.313198a2e0370p-61;

/* x^2 - y^2 as double-double, exact to the last few bits of the larger
 * square even where the two nearly cancel. */
dd diff_squares(dd x, dd y)
{
	dd p = two_prod(x.hi, x.hi), q = two_prod(y.hi, y.hi);
	dd s = two_sum(p.hi, -q.hi);
	dd t = two_sum(p.lo, -q.lo);
	double cross = 2 * (x.hi * x.lo - y.hi * y.lo);
	dd u = two_sum(s.hi, t.hi);
	return fast_two_sum(u.hi, u.lo + s.lo + t.lo + cross);
}

/* exp(a.hi + a.lo) = m * 2^k with m near 1, never overflowing. */
double exp_split(dd a, int *k)
{
	if (std::fabs(a.hi) > 1500) {
		*k = a.hi > 0 ? 2200 : -2200;
		return 1;
	}
	double kf = std::nearbyint(a.hi * invln2);
	double r = (a.hi - kf * ln2_hi) - kf * ln2_lo + a.lo;
	*k = static_cast<int>(kf);
	return std::exp(r);
}

/* exp(a.hi + a.lo) for a.hi well inside the range. */
inline double exp_dd(dd a)
{
	double e = std::exp(a.hi);
	return e + e * a.lo;
}

/* cos and sin of v.hi + v.lo for a double-double v. */
void cos_sin_dd(dd v, double *c, double *s)
{
	double ch = std::cos(v.hi), sh = std::sin(v.hi);
	if (std::fabs(v.lo) < 0x1p-30) {
		*c = ch - sh * v.lo;
		*s = sh + ch * v.lo;
	} else {
		double cl = std::cos(v.lo), sl = std::sin(v.lo);
		*c = ch * cl - sh * sl;
		*s = sh * cl + ch * sl;
	}
}

/* The first 2240 bits of the fraction 1/pi, 32 to a word. */
constexpr uint32_t inv_pi_bits[70] = {
	0x517cc1b7, 0x27220a94, 0xfe13abe8, 0xfa9a6ee0, 0x6db14acc, 0x9e21c820,
	0xff28b1d5, 0xef5de2b0, 0xdb92371d, 0x2126e970, 0x03249775, 0x04e8c90e,
	0x7f0ef58e, 0x5894d39f, 0x74411afa, 0x975da242, 0x74ce3813, 0x5a2fbf20,
	0x9cc8eb1c, 0xc1a99cfa, 0x4e422fc5, 0xdefc941d, 0x8ffc4bff, 0xef02cc07,
	0xf79788c5, 0xad05368f, 0xb69b3f67, 0x93e584db, 0xa7a31fb3, 0x4f2ff516,
	0xba93dd63, 0xf5f2f8bd, 0x9e839cfb, 0xc5294975, 0x35fdafd8, 0x8fc6ae84,
	0x2b019823, 0x7e3db5d5, 0xf867de10, 0x4d7a1b0e, 0xd4f1c8b0, 0xaf730d84,
	0x32ccc2af, 0x8a503420, 0x46ffec40, 0x26b99398, 0x83030aab, 0x6539d464,
	0xb0713de0, 0x4635a3e2, 0x0ce1b3e6, 0xee740495, 0x41ace23b, 0x45cb0e53,
	0x6ed7a268, 0xab8c829f, 0x52ff8382, 0x9fbf19f4, 0x19616f27, 0xcc193edd,
	0xe19e9377, 0xb58f2f7c, 0x4f9d0f9a, 0xe5793f8e, 0xc3f890c8, 0x3e3e1235,
	0x7d376abb, 0x9698219d, 0x8ae30a5a, 0xce8ce1e1,
};

/* 32 bits of 1/pi starting at bit p (the first after the point is 1;
 * those at p <= 0, before it, are 0). */
uint32_t inv_pi_at(int p)
{
	if (p < 1)
		return p > -31 ? inv_pi_bits[0] >> (1 - p) : 0;
	int w = (p - 1) / 32, o = (p - 1) % 32;
	uint32_t v = inv_pi_bits[w] << o;
	if (o != 0)
		v |= inv_pi_bits[w + 1] >> (32 - o);
	return v;
}

/*
 * The phase 2xy, exactly reduced however large: with xy = M 2^E (M the
 * product of the two 53-bit significands), 2xy / 2pi = M 2^E / pi, and
 * only the fraction of 2^E / pi matters, of which 192 bits suffice for 86
 * bits of the fraction.  Returns the quarter turn q and leaves in t the
 * remainder, within 1/8 turn, in radians; the sign is that of |xy|.  Used
 * for 2^20 <= |xy| < 2^1950, where the double-double phase is too coarse
 * for a small cosine or sine.
 */
unsigned huge_phase(double x, double y, dd *t)
{
	int ex = std::ilogb(x) - 52, ey = std::ilogb(y) - 52;
	uint64_t mx = static_cast<uint64_t>(std::ldexp(std::fabs(x), -ex));
	uint64_t my = static_cast<uint64_t>(std::ldexp(std::fabs(y), -ey));
	int e = ex + ey;
	/* M in four 32-bit limbs, least significant first. */
	uint64_t a0 = mx & 0xffffffff, a1 = mx >> 32, b0 = my & 0xffffffff, b1 = my >> 32;
	uint64_t t0 = a0 * b0, t1 = a0 * b1, t2 = a1 * b0, t3 = a1 * b1;
	uint64_t mid = (t0 >> 32) + (t1 & 0xffffffff) + (t2 & 0xffffffff);
	uint64_t high = t3 + (t1 >> 32) + (t2 >> 32) + (mid >> 32);
	const uint64_t m[4] = {t0 & 0xffffffff, mid & 0xffffffff, high & 0xffffffff, high >> 32};
	uint64_t f[6];
	for (int j = 0; j < 6; j++)
		f[j] = inv_pi_at(e + 1 + 32 * j);
	/* acc[d] has weight 2^(-32d); whole numbers drop out. */
	uint64_t acc[5] = {0, 0, 0, 0, 0};
	for (int i = 0; i < 4; i++)
		for (int j = 0; j < 6; j++) {
			int d = j + 1 - i;
			if (d < 1 || d > 5)
				continue;
			uint64_t p = m[i] * f[j];
			if (d > 1)
				acc[d - 1] += p >> 32;
			if (d < 5)
				acc[d] += p & 0xffffffff;
		}
	acc[3] += acc[4] >> 32;
	acc[2] += acc[3] >> 32;
	acc[1] += acc[2] >> 32;
	uint64_t phi = (acc[1] & 0xffffffff) << 32 | (acc[2] & 0xffffffff);
	/* phi / 2^64 turns (and 32 bits more); nearest quarter q, remainder
	 * within 1/8 turn. */
	unsigned q = static_cast<unsigned>((phi + (uint64_t(1) << 61)) >> 62) & 3;
	int64_t rho = static_cast<int64_t>(phi - (uint64_t(q) << 62));
	/* In 32-bit pieces, each converted exactly (on x86 a 64-bit integer
	 * passes through the x87, which need not round it to double). */
	double rh = std::ldexp(static_cast<double>(static_cast<int32_t>(rho >> 32)), 32);
	double rl = static_cast<double>(static_cast<uint32_t>(rho & 0xffffffff));
	double r3 = std::ldexp(static_cast<double>(static_cast<uint32_t>(acc[3] & 0xffffffff)), -32);
	dd r = fast_two_sum(rh, rl);
	r = dd_add(r, {r3, 0});
	*t = dd_mul(dd_ldexp(r, -64), {2 * pi_hi, 2 * pi_lo});
	return q;
}

void cos_sin_huge(double x, double y, double *c, double *s)
{
	dd t;
	unsigned q = huge_phase(x, y, &t);
	double cr, sr;
	cos_sin_dd(t, &cr, &sr);
	const double cq[4] = {cr, -sr, -cr, sr}, sq[4] = {sr, cr, -sr, -cr};
	*c = cq[q];
	*s = (x < 0) != (y < 0) ? -sq[q] : sq[q];
}

/* cos and sin of 2xy for any finite x, y. */
void cos_sin_2xy(double x, double y, double *c, double *s)
{
	if (x == 0 || y == 0) {
		*c = 1;
		*s = std::signbit(x) != std::signbit(y) ? -0.0 : 0.0;
		return;
	}
	int ex = std::ilogb(x), ey = std::ilogb(y);
	if (ex + ey >= 20) {
		cos_sin_huge(x, y, c, s);
		return;
	}
	/* Balance the exponents so the exact product stays in range. */
	int k = (ex - ey) / 2;
	dd v = two_prod(2 * std::ldexp(x, -k), std::ldexp(y, k));
	cos_sin_dd(v, c, s);
}

/*
 * scale * exp(-z^2) for z = x + iy given as double-double parts, with x^2
 * and y^2 below the splitting limit.  Parts that overflow come back as
 * the infinity of their sign.
 */
void exp_mz2(dd x, dd y, double scale, double *re, double *im)
{
	dd u = diff_squares(x, y);	/* Re z^2 */
	double c, s;
	if (x.lo == 0 && y.lo == 0) {
		cos_sin_2xy(x.hi, y.hi, &c, &s);
	} else {
		dd v = two_prod(2 * x.hi, y.hi);	/* Im z^2 */
		v = fast_two_sum(v.hi, v.lo + 2 * (x.hi * y.lo + x.lo * y.hi));
		cos_sin_dd(v, &c, &s);
	}
	int k;
	double m = scale * exp_split({-u.hi, -u.lo}, &k);
	/* k may exceed the range of ldexp's single step on its own. */
	int k1 = k / 2, k2 = k - k1;
	*re = std::ldexp(std::ldexp(m * c, k1), k2);
	*im = -std::ldexp(std::ldexp(m * s, k1), k2);
}

/* exp(-z^2) for z = x + iy given as double-double parts, |x|, |y| < 16:
 * nothing overflows and the phase needs no exact reduction. */
void exp_mz2_small(dd x, dd y, double *re, double *im)
{
	dd u = diff_squares(x, y);
	dd v = two_prod(2 * x.hi, y.hi);
	double vl = v.lo + 2 * (x.hi * y.lo + x.lo * y.hi);
	double e = std::exp(-u.hi);
	e -= e * u.lo;
	double c = std::cos(v.hi), s = std::sin(v.hi);
	*re = e * (c - s * vl);
	*im = -e * (s + c * vl);
}

/* sqrt(pi) |f|^2 for f = a + ib given as double-double parts, with a and b
 * scaled by an exact power of two so that |f|^2 stays in range; *unscale
 * restores the quotient.  A part that the scaling pushes into the
 * subnormals is below the other's last bit. */
dd scaled_denominator(dd *a, dd *b, double *unscale)
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

/* Laplace's continued fraction with nl levels, nl >= 1. */
void cfrac(dd x, dd y, int nl, double *re, double *im)
{
	dd fr = x, fi = y;
	if (nl > 1) {
		double gr = x.hi, gi = y.hi;
		for (int k = nl - 1; k >= 2; k--) {
			double t = 0.5 * k / (gr * gr + gi * gi);
			gr = x.hi - gr * t;
			gi = y.hi + gi * t;
		}
		double t = 0.5 / (gr * gr + gi * gi);
		fr = dd_add(x, {-gr * t, 0});
		fi = dd_add(y, {gi * t, 0});
	}
	recip_isqrtpi(fr, fi, re, im);
}

/* The same with the division carried to double-double. */
void cfrac_dd(dd x, dd y, int nl, dd *re, dd *im)
{
	dd fr = x, fi = y;
	if (nl > 1) {
		double gr = x.hi, gi = y.hi;
		for (int k = nl - 1; k >= 2; k--) {
			double t = 0.5 * k / (gr * gr + gi * gi);
			gr = x.hi - gr * t;
			gi = y.hi + gi * t;
		}
		double t = 0.5 / (gr * gr + gi * gi);
		fr = dd_add(x, {-gr * t, 0});
		fi = dd_add(y, {gi * t, 0});
	}
	recip_isqrtpi_dd(fr, fi, re, im);
}

/* True where a - b = d has lost more than two bits to cancellation. */
inline bool cancels(double a, double b, double d)
{
	return std::fabs(d) < 0.25 * std::fmax(std::fabs(a), std::fabs(b))
		&& std::isfinite(a) && std::isfinite(b);
}

/* The series of near_zero in double-double, the terms up to t^(n+1). */
void zero_series_careful(const zero &z0, dd t_re, dd t_im, int n, double *re, double *im)
{
	dd pr = t_re, pi_ = t_im;
	dd ar = {0, 0}, ai = {twortpi_hi, twortpi_lo}, br = {0, 0}, bi = {0, 0};
	dd sr = dd_neg(dd_mul(ai, t_im)), si = dd_mul(ai, t_re);
	for (int k = 1; k <= n; k++) {
		dd cr = dd_add(dd_add(dd_mul(z0.x, ar), dd_neg(dd_mul(z0.y, ai))), br);
		dd ci = dd_add(dd_add(dd_mul(z0.x, ai), dd_mul(z0.y, ar)), bi);
		cr = dd_div_d(dd_ldexp(cr, 1), -(k + 1));
		ci = dd_div_d(dd_ldexp(ci, 1), -(k + 1));
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
 * Within 0.3/|z0| of the zero the terms fall by 0.6 or more each, and
 * the offset z - z0 is exact in double-double.  Returns false away from
 * every zero.
 */
bool near_zero(double ax, double y, double *re, double *im)
{
	for (int z = 0; z < nzeros; z++) {
		const zero &z0 = w_zeros[z];
		double tx = ax - z0.x.hi, ty = y - z0.y.hi;
		double r2 = z0.x.hi * z0.x.hi + z0.y.hi * z0.y.hi;
		if ((tx * tx + ty * ty) * r2 >= 0.09)
			continue;
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
		 * in it; the sum is then repeated in double-double. */
		if (cancels(lr.hi, sr, *re) || cancels(li.hi, si, *im))
			zero_series_careful(z0, t_re, t_im, n + 3, re, im);
		return true;
	}
	return false;
}

/*
 * w(z0 + t) as its Taylor series about the nearest centre z0 of grid g,
 * |Re t|, |Im t| <= step/2, for x, y >= 0 within the grid.  The series is
 * split by the power of t modulo 4 into four Horner chains in t^4, which
 * run side by side; the sum is formed small terms first and added to
 * w(z0) last.  On the axes the centres lie on the axis, so a part that
 * vanishes there (Re w for large x, Im w on x = 0) is summed from terms
 * that vanish with it and keeps its own relative accuracy.  *cell gets
 * the cell, *t the offset.
 */
int grid_taylor(const grid &g, dd x, dd y, double *re, double *im)
{
	int i = static_cast<int>((x.hi - g.x0) * g.scale + 0.5);
	int j = static_cast<int>(y.hi * g.scale + 0.5);
	/* Both differences are exact (Sterbenz, or a zero centre). */
	double tr = (x.hi - (g.x0 + i * g.step)) + x.lo, ti = (y.hi - j * g.step) + y.lo;
	int cell = g.nx * j + i;
	int ng = g.start[cell + 1] - g.start[cell];
	const double *c = g.coef + 8 * g.start[cell];
	double t2r = tr * tr - ti * ti, t2i = 2 * tr * ti;
	double vr = t2r * t2r - t2i * t2i, vi = 2 * t2r * t2i;
	double p0r = c[0], p0i = c[1], p1r = c[2], p1i = c[3];
	double p2r = c[4], p2i = c[5], p3r = c[6], p3i = c[7];
	for (int k = 1; k < ng; k++) {
		c += 8;
		double a = p0r * vr - p0i * vi + c[0];
		p0i = p0r * vi + p0i * vr + c[1];
		p0r = a;
		a = p1r * vr - p1i * vi + c[2];
		p1i = p1r * vi + p1i * vr + c[3];
		p1r = a;
		a = p2r * vr - p2i * vi + c[4];
		p2i = p2r * vi + p2i * vr + c[5];
		p2r = a;
		a = p3r * vr - p3i * vi + c[6];
		p3i = p3r * vi + p3i * vr + c[7];
		p3r = a;
	}
	/* s = t (p1 + t p2 + t^2 p3) */
	double ur = p2r + (tr * p3r - ti * p3i), ui = p2i + (tr * p3i + ti * p3r);
	double qr = p1r + (tr * ur - ti * ui), qi = p1i + (tr * ui + ti * ur);
	double sr = tr * qr - ti * qi, si = tr * qi + ti * qr;
	/* The row on the real axis sums w - exp(-z^2); exp(-z^2) is added
	 * unless it is below 2^-60 of Re w ~ y / (sqrt(pi) x^2), that is
	 * unless x^2 - y^2 > 41.6 + ln(sqrt(pi) x^2) - ln y, which for
	 * x < 40.5 holds where x^2 - y^2 > 50 - ln 2 ilogb(y) (with y = 0 or
	 * tiny it is always added). */
	if (j == 0 && (y.hi < 0x1p-1000
		|| (x.hi - y.hi) * (x.hi + y.hi) < 50 - 0.6931 * std::ilogb(y.hi))) {
		double er, ei;
		exp_mz2_small(x, y, &er, &ei);
		p0r += er;
		p0i += ei;
	}
	*re = p0r + sr;
	*im = p0i + si;
	return 4 * ng;
}

/* w(x + iy) for x >= 0, y >= 0, both finite and given as double-double. */
void upper(dd x, dd y, double *re, double *im)
{
	double mx = x.hi > y.hi ? x.hi : y.hi;
	if (mx >= asym_rmin) {
		recip_isqrtpi(x, y, re, im);
		faddeeva_algorithm = ALG_ASYM;
		faddeeva_nofterms = 1;
		return;
	}
	double r = mx < 0x1p-30 ? 2 * mx : std::sqrt(x.hi * x.hi + y.hi * y.hi);
	if (r < taylor_rgrid) {
		taylor(x.hi + x.lo, y.hi + y.lo, r, re, im);
		return;
	}
	if (x.hi < box_end && y.hi < box_end) {
		faddeeva_nofterms = grid_taylor(box_grid, x, y, re, im);
		faddeeva_algorithm = ALG_GRID;
		return;
	}
	if (x.hi >= wing_xmin && x.hi < wing_xmax && y.hi < wing_ymax) {
		faddeeva_nofterms = grid_taylor(wing_grid, x, y, re, im);
		faddeeva_algorithm = ALG_GRID;
		return;
	}
	int nl = 2;
	while (r < cf_r[nl])
		nl++;
	cfrac(x, y, nl, re, im);
	if (y.hi < 1e-6 && x.hi < 27.5) {
		double er, ei;
		exp_mz2(x, y, 1, &er, &ei);
		*re += er;
		*im += ei;
	}
	faddeeva_algorithm = ALG_CFRAC;
	faddeeva_nofterms = nl;
}

/*
 * The careful reflection.  Where 2 exp(-z^2) - w(-z) cancels in a part,
 * both terms are recomputed to about 2^-90 of their size (exp and cos,
 * sin of a double-double argument by Taylor series, the trapezoid sum
 * and the continued fraction's division in double-double) and subtracted
 * before the single rounding.
 */
/* exp(a) = m 2^k, m in [0.7, 1.5) to about 2^-100, for |a.hi| < 1500. */
dd exp_dd_split(dd a, int *k)
{
	double kf = std::nearbyint(a.hi * invln2);
	dd r = two_sum(a.hi, -kf * ln2_hi);
	r = dd_add(r, {a.lo, 0});
	r = dd_add(r, dd_neg(two_prod(kf, ln2_lo)));
	r = dd_add(r, {-kf * ln2_lo2, 0});
	*k = static_cast<int>(kf);
	/* expm1 of r / 2^9, then nine squarings of 1 + e as 2e + e^2. */
	dd s = dd_ldexp(r, -9);
	dd t = {1, 0};
	for (int n = 10; n >= 2; n--)
		t = dd_add({1, 0}, dd_div_d(dd_mul(t, s), n));
	dd e = dd_mul(s, t);
	for (int i = 0; i < 9; i++)
		e = dd_add(dd_ldexp(e, 1), dd_mul(e, e));
	return dd_add({1, 0}, e);
}

/* exp(a) for a.hi in the normal range of the result, to about 2^-100. */
dd exp_careful(dd a)
{
	int k;
	dd m = exp_dd_split(a, &k);
	return dd_ldexp(m, k);
}

/* cos and sin of t, |t| <= pi/4 + a little, to about 2^-104. */
void cos_sin_small_dd(dd t, dd *c, dd *s)
{
	dd t2 = dd_mul(t, t);
	dd sc = {1, 0}, ss = {1, 0};
	for (int n = 28; n >= 2; n -= 2) {
		/* cos: 1 - t^2/((n-1) n) (...); sin: 1 - t^2/(n (n+1)) (...) */
		sc = dd_add({1, 0}, dd_neg(dd_div_d(dd_mul(sc, t2), (n - 1) * n)));
		ss = dd_add({1, 0}, dd_neg(dd_div_d(dd_mul(ss, t2), n * (n + 1))));
	}
	*c = sc;
	*s = dd_mul(ss, t);
}

/* cos and sin of t + q pi/2. */
void quadrant_dd(dd t, unsigned q, dd *c, dd *s)
{
	dd cr, sr;
	cos_sin_small_dd(t, &cr, &sr);
	switch (q & 3) {
	case 0: *c = cr; *s = sr; break;
	case 1: *c = dd_neg(sr); *s = cr; break;
	case 2: *c = dd_neg(cr); *s = dd_neg(sr); break;
	default: *c = sr; *s = dd_neg(cr); break;
	}
}

/* cos and sin of 2xy to about 2^-90 of 1, for x, y finite and not 0. */
void cos_sin_2xy_dd(double x, double y, dd *c, dd *s)
{
	int ex = std::ilogb(x), ey = std::ilogb(y);
	if (ex + ey >= 20) {
		dd t;
		unsigned q = huge_phase(x, y, &t);
		quadrant_dd(t, q, c, s);
	} else {
		int k = (ex - ey) / 2;
		dd v = two_prod(2 * std::ldexp(x, -k), std::ldexp(y, k));
		double kf = std::nearbyint(v.hi * (2 * rpi_hi));
		dd r = two_sum(v.hi, -kf * pio2_1);
		r = dd_add(r, {v.lo, 0});
		r = dd_add(r, {-kf * pio2_2, 0});
		r = dd_add(r, {-kf * pio2_3, 0});
		quadrant_dd(r, static_cast<unsigned>(static_cast<long long>(kf) & 3), c, s);
	}
	if ((x < 0) != (y < 0) && ex + ey >= 20)
		*s = dd_neg(*s);
}

/* 2 exp(-z^2) = (re + i im) 2^k, both parts to about 2^-90 of |exp|, for
 * |x|, |y| <= 2^450 and y^2 - x^2 well inside the range of exp. */
void exp_mz2_careful(double x, double y, dd *re, dd *im, int *k)
{
	dd u = diff_squares({x, 0}, {y, 0});
	dd m = exp_dd_split(dd_neg(u), k);
	dd c = {1, 0}, s = {0, 0};
	if (x != 0 && y != 0)
		cos_sin_2xy_dd(x, y, &c, &s);
	*re = dd_ldexp(dd_mul(m, c), 1);
	*im = dd_neg(dd_ldexp(dd_mul(m, s), 1));
}

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

/*
 * The series of grid_taylor to about 2^-60 of |w|, off the real axis's
 * row (j >= 1; returns false there): c_0 in double-double from the table,
 * c_1 and c_2 from it by the recurrence in double-double, and the terms
 * from t^3 on, each below 2^-7 |w| in the cells that the careful
 * reflection visits, in double.
 */
bool grid_taylor_dd(const grid &g, double x, double y, dd *re, dd *im)
{
	int i = static_cast<int>((x - g.x0) * g.scale + 0.5);
	int j = static_cast<int>(y * g.scale + 0.5);
	if (j == 0)
		return false;
	double x0 = g.x0 + i * g.step, y0 = j * g.step;
	double tr = x - x0, ti = y - y0;
	int cell = g.nx * j + i;
	const double *c = g.coef + 8 * g.start[cell];
	const double *end = g.coef + 8 * g.start[cell + 1];
	/* Horner over c_n, n >= 3: groups highest first, c_4g+3 first. */
	double pr = 0, pi_ = 0;
	for (; c < end; c += 8)
		for (int m = 3; m >= 0; m--) {
			if (c + 8 == end && m < 3)
				break;
			double a = pr * tr - pi_ * ti + c[2 * m];
			pi_ = pr * ti + pi_ * tr + c[2 * m + 1];
			pr = a;
		}
	c = end - 8;
	dd c0r = fast_two_sum(c[0], g.c0lo[2 * cell]), c0i = fast_two_sum(c[1], g.c0lo[2 * cell + 1]);
	/* c_1 = -2 z0 c_0 + 2i/sqrt(pi), c_2 = -z0 c_1 - c_0 */
	dd c1r = dd_ldexp(dd_add(dd_mul_d(c0i, y0), dd_neg(dd_mul_d(c0r, x0))), 1);
	dd c1i = dd_add(dd_ldexp(dd_neg(dd_add(dd_mul_d(c0i, x0), dd_mul_d(c0r, y0))), 1),
		{twortpi_hi, twortpi_lo});
	dd c2r = dd_add(dd_add(dd_mul_d(c1i, y0), dd_neg(dd_mul_d(c1r, x0))), dd_neg(c0r));
	dd c2i = dd_add(dd_neg(dd_add(dd_mul_d(c1i, x0), dd_mul_d(c1r, y0))), dd_neg(c0i));
	/* q = c_2 + t p, then c_1 + t q, then c_0 + t q, in double-double. */
	dd qr = dd_add(c2r, two_sum(pr * tr, -pi_ * ti));
	dd qi = dd_add(c2i, two_sum(pr * ti, pi_ * tr));
	for (int k = 1; k >= 0; k--) {
		dd ar = dd_add(dd_mul_d(qr, tr), dd_neg(dd_mul_d(qi, ti)));
		dd ai = dd_add(dd_mul_d(qr, ti), dd_mul_d(qi, tr));
		qr = dd_add(k ? c1r : c0r, ar);
		qi = dd_add(k ? c1i : c0i, ai);
	}
	*re = qr;
	*im = qi;
	return true;
}

/* w(x + iy) for x >= 0, y > 0 to about 2^-60 of |w| in each part, where
 * the reflection may cancel. */
void upper_careful(double x, double y, dd *re, dd *im)
{
	double mx = x > y ? x : y;
	if (mx >= asym_rmin) {
		/* i / (sqrt(pi) (z - 1/(2z))): the leading term alone is short
		 * by 1/(2z^2), 2^-55 at the switch. */
		if (mx < 0x1p500)
			cfrac_dd({x, 0}, {y, 0}, 2, re, im);
		else
			recip_isqrtpi_dd({x, 0}, {y, 0}, re, im);
		return;
	}
	if (x < box_end && y < box_end && grid_taylor_dd(box_grid, x, y, re, im))
		return;
	if (x >= wing_xmin && x < wing_xmax && y < wing_ymax
		&& grid_taylor_dd(wing_grid, x, y, re, im))
		return;
	double r = std::sqrt(x * x + y * y);
	if (r < cf_rmin) {
		trapezoid_careful(x, y, re, im);
		return;
	}
	int nl = 2;
	while (r < cf_r[nl])
		nl++;
	/* The levels below the last cost 2^-53 / (2 r^2) of |w|. */
	nl = nl < 15 ? nl + 1 : nl;
	cfrac_dd({x, 0}, {y, 0}, nl, re, im);
	if (y < 1e-6 && x < 27.5) {
		dd er, ei;
		int k;
		exp_mz2_careful(x, y, &er, &ei, &k);
		*re = dd_add(*re, dd_ldexp(dd_ldexp(er, -1), k));
		*im = dd_add(*im, dd_ldexp(dd_ldexp(ei, -1), k));
	}
}

/* w(z) = 2 exp(-z^2) - w(-z) for y < 0, each term to about 2^-60 of
 * itself, rounded once. */
void reflect_careful(double x, double y, double *re, double *im)
{
	dd ur, ui, er, ei;
	upper_careful(std::fabs(x), -y, &ur, &ui);
	if (!std::signbit(x))
		ui = dd_neg(ui);
	int k;
	exp_mz2_careful(x, y, &er, &ei, &k);
	dd r = dd_add(dd_ldexp(er, k), dd_neg(ur));
	dd i = dd_add(dd_ldexp(ei, k), dd_neg(ui));
	*re = r.hi + r.lo;
	*im = i.hi + i.lo;
}

/* w(z) for finite z. */
void w_finite(double x, double y, double *re, double *im)
{
	if (y >= 0) {
		upper({std::fabs(x), 0}, {y, 0}, re, im);
		if (std::signbit(x))
			*im = -*im;
		return;
	}
	/* Near 0 the series needs no reflection. */
	double ax = std::fabs(x), ay = -y;
	if (ax < taylor_rgrid && ay < taylor_rgrid) {
		double r = ax < 0x1p-30 && ay < 0x1p-30 ? 2 * (ax > ay ? ax : ay)
			: std::sqrt(x * x + y * y);
		if (r < taylor_rgrid) {
			taylor(ax, y, r, re, im);
			if (std::signbit(x))
				*im = -*im;
			return;
		}
	}
	/* The zeros lie along x + y = 0.22 to 0.82, their discs included. */
	double along = ax + y;
	if (along > 0.21 && along < 0.82 && ay > 1.2 && ay < 6.6 && near_zero(ax, y, re, im)) {
		if (std::signbit(x))
			*im = -*im;
		return;
	}
	/* w(z) = 2 exp(-z^2) - w(-z); w(-z) = conj w(|x| - iy) when x >= 0. */
	double ur, ui;
	upper({std::fabs(x), 0}, {-y, 0}, &ur, &ui);
	if (!std::signbit(x))
		ui = -ui;
	faddeeva_algorithm += ALG_REFLECT;
	double er, ei;
	if (ax <= 0x1p450 && ay <= 0x1p450) {
		/* 2 exp(-z^2) below 2^-62 of either part of w(-z) changes
		 * neither (a zero part keeps it). */
		double d = (ay - ax) * (ay + ax);
		if (d < -750 || (d < -40 && d * 1.4427 < std::ilogb(std::fmin(std::fabs(ur),
			std::fabs(ui))) - 63)) {
			*re = -ur;
			*im = -ui;
			return;
		}
		if (ax < 16 && ay < 16) {
			exp_mz2_small({x, 0}, {y, 0}, &er, &ei);
			er *= 2;
			ei *= 2;
		} else {
			exp_mz2({x, 0}, {y, 0}, 2, &er, &ei);
		}
		*re = er - ur;
		*im = ei - ui;
		if (cancels(er, ur, *re) || cancels(ei, ui, *im))
			reflect_careful(x, y, re, im);
		return;
	} else {
		/* Out of reach of exact squares, exp(y^2 - x^2) is 0, 1 (when
		 * |x| = |y|) or infinite. */
		if (ay < ax) {
			*re = -ur;
			*im = -ui;
			return;
		}
		double c, s;
		cos_sin_2xy(x, y, &c, &s);
		double mag = ay == ax ? 2 : INFINITY;
		er = mag * c;
		ei = s == 0 ? -s : -mag * s;
	}
	*re = er - ur;
	*im = ei - ui;
}

} // namespace

extern "C" double _Complex w_of_z(double _Complex z)
{
	double x = __real__ z, y = __imag__ z;
	double re, im;
	if (std::isfinite(x) && std::isfinite(y)) {
		w_finite(x, y, &re, &im);
	} else {
		faddeeva_algorithm = ALG_SPECIAL;
		faddeeva_nofterms = 0;
		if (std::isnan(x) || std::isnan(y)) {
			re = im = NAN;
		} else if (y == -INFINITY) {
			/* exp(y^2) wins; its phase is known only on the axis. */
			re = x == 0 ? INFINITY : NAN;
			im = x == 0 ? std::copysign(0.0, x) : NAN;
			if (std::isinf(x))
				re = im = NAN;
		} else {
			/* |z| infinite with y > -inf: w -> i / (sqrt(pi) z) = 0,
			 * with the signs of y and x. */
			re = std::copysign(0.0, y);
			im = std::copysign(0.0, x);
		}
	}
	double _Complex w;
	__real__ w = re;
	__imag__ w = im;
	return w;
}

/*
 * voigt: Re w((x + i gamma) / (sigma sqrt 2)) / (sigma sqrt(2 pi)).  The
 * argument is formed in double-double and handed to w in that form, so
 * that the Gaussian wing exp(-x^2 / (2 sigma^2)) keeps its digits.
 */
namespace {

double lorentz(double x, double gamma)
{
	if (gamma == 0)
		return x == 0 ? INFINITY : 0;
	/* gamma / (pi (x^2 + gamma^2)), scaled out of overflow. */
	double m = std::fmax(std::fabs(x), gamma);
	int k = std::ilogb(m);
	double xs = std::ldexp(x, -k), gs = std::ldexp(gamma, -k);
	dd n = dd_add(two_prod(xs, xs), two_prod(gs, gs));
	dd d = dd_mul(n, {pi_hi, pi_lo});
	return std::ldexp(dd_div({gs, 0}, d), -k);
}

dd div_by(double a, dd d)
{
	double q = a / d.hi;
	dd p = two_prod(q, d.hi);
	double r = ((a - p.hi) - p.lo) - q * d.lo;
	return fast_two_sum(q, r / d.hi);
}

/* exp(-x^2 / (2 sigma^2)) / (sigma sqrt(2 pi)), the exponent in
 * double-double and split off so that a normal result never passes
 * through the subnormals. */
double gauss(double x, double sigma)
{
	dd s2 = dd_mul({sigma, 0}, {sqrt2_hi, sqrt2_lo});
	dd u = div_by(std::fabs(x), s2);
	dd u2 = dd_mul(u, u);
	int k;
	double m = exp_split({-u2.hi, -u2.lo}, &k);
	dd n = dd_mul({m, 0}, {rsqrt2pi_hi, rsqrt2pi_lo});
	double v = dd_div(n, {sigma, 0});
	int k1 = k / 2;
	return std::ldexp(std::ldexp(v, k1), k - k1);
}

/*
 * The far Gaussian wing with a Lorentzian width so small that Re w, both
 * its Lorentzian part (y times a function of x, this close to the axis)
 * and its Gaussian part exp(-x^2), is below the normal range while the
 * profile, divided by a small sigma, is not: both parts are formed 2^600
 * times larger.
 */
double far_wing(dd zx, double gamma, dd s2, double sigma)
{
	dd zy = div_by(gamma * 0x1p600, s2);
	int nl = 2;
	while (zx.hi < cf_r[nl])
		nl++;
	double re, im;
	cfrac(zx, zy, nl, &re, &im);
	dd u2 = dd_mul(zx, zx);
	int e;
	double m = exp_split({-u2.hi, -u2.lo}, &e);
	re += std::ldexp(m, e + 600);
	dd n = dd_mul({re, 0}, {rsqrt2pi_hi, rsqrt2pi_lo});
	return std::ldexp(dd_div(n, {sigma, 0}), -600);
}

} // namespace

extern "C" double voigt(double x, double sigma, double gamma)
{
	if (std::isnan(x) || std::isnan(sigma) || std::isnan(gamma))
		return NAN;
	if (sigma < 0 || gamma < 0)
		return NAN;
	if (std::isinf(x) || std::isinf(sigma) || std::isinf(gamma))
		return 0;
	/* The profile is homogeneous of degree -1: scale the widths and x
	 * by a power of two into the middle of the range. */
	double ax = std::fabs(x), m = sigma > gamma ? sigma : gamma;
	m = ax > m ? ax : m;
	int k = 0;
	if (m > 0x1p300 || (m < 0x1p-300 && m > 0)) {
		k = std::ilogb(m);
		x = std::ldexp(x, -k);
		sigma = std::ldexp(sigma, -k);
		gamma = std::ldexp(gamma, -k);
	}
	double v;
	if (sigma == 0 || std::fabs(x) > 0x1p27 * sigma || gamma > 0x1p27 * sigma) {
		v = lorentz(x, gamma);
	} else if (gamma == 0) {
		v = gauss(x, sigma);
	} else {
		/* r = 1 / (sigma sqrt 2) in double-double, so that both
		 * arguments of w and the profile r Re w / sqrt(pi) are
		 * products. */
		dd s2 = dd_mul_d({sqrt2_hi, sqrt2_lo}, sigma);
		double q = 1 / s2.hi;
		dd p = two_prod(q, s2.hi);
		dd r = fast_two_sum(q, (((1 - p.hi) - p.lo) - q * s2.lo) * q);
		dd zx = dd_mul_d(r, std::fabs(x)), zy = dd_mul_d(r, gamma);
		if (zx.hi > 26 && zy.hi < 0x1p-950)
			return k != 0 ? std::ldexp(far_wing(zx, gamma, s2, sigma), -k)
				: far_wing(zx, gamma, s2, sigma);
		double re, im;
		upper(zx, zy, &re, &im);
		dd n = dd_mul_d(dd_mul(r, {twortpi_hi / 2, twortpi_lo / 2}), re);
		v = n.hi + n.lo;
	}
	return k != 0 ? std::ldexp(v, -k) : v;
}
