/* SPDX-License-Identifier: ISC */
/*
 * exp.cc: exp(-z^2) for libkerb, and the reduction of its argument (the
 * careful path's double-double exponential is exp_careful.cc's).
 *
 * Method.  exp(-z^2) = exp(y^2 - x^2) (cos 2xy - i sin 2xy), two ways here
 * and a third, more careful, in exp_careful.cc.
 *
 * exp_mz2_small, for |x| < 64, |y| < 16 and y^2 - x^2 > -700 (the lower
 * box and the rows of the grids on the real axis): Tang's table-driven
 * method for both factors, without a call into libm.  y^2 - x^2 is formed
 * to 2^-60 from x and y split at 2^-20 (the squares of the heads and their
 * difference are exact), 2xy exactly by Dekker's product.  exp(u) =
 * 2^(k/128) exp(r), |r| <= ln 2 / 256, with 2^(j/128) from a table and a
 * Taylor polynomial of degree 5; the phase is j 2 pi / 128 + r, reduced in
 * three parts, with cos and sin of the 128th turns from a table and Taylor
 * polynomials of degree 9 and 8 in r.  Next to a quarter turn the table
 * holds the quarter turn's own entry (exactly 0 and +-1) and |r| <=
 * 3 pi / 128, so that a part passing through 0 is a multiple of sin r.
 * The tables' heads of 26 and 27 bits make the leading product T C exact;
 * the rest corrects it.  The tables are mkexp's (mpmath).
 *
 * exp_mz2 and cos_sin_2xy, elsewhere: x^2 - y^2 and 2xy exact as
 * double-double numbers; the exponent is split off as a power of two
 * (exp_split), so that a product with a small cosine does not overflow on
 * the way, and the phase 2xy is reduced exactly however large: by pi/2 in
 * three parts below |xy| = 2^20, beyond with 192 bits of 1/pi taken from
 * 2240 (huge_phase, Payne and Hanek's method).
 *
 * Every operation is a correctly rounded double operation (no
 * contraction; fma nowhere) and no libm function but the exact ldexp and
 * ilogb is called on the way (and cos and sin in cos_sin_dd beyond
 * |2xy| = 1.2e7 given as double-double, which no caller passes), so the
 * results are the same on every target.
 *
 * Error bound.  exp_mz2_small: each part within 2 ulp where it is above
 * 2^-46 |exp(-z^2)|, and within 2^-100 |exp(-z^2)| everywhere (the
 * remainder of the phase is formed to 2^-104).  At a quarter turn the
 * small part is T sin r, T rounded and three roundings more (1.5 ulp);
 * elsewhere T C is exact and the rest is at most a third of the part,
 * rounded in a few operations; 1.73 ulp is the most measured, and
 * kerb-exp holds 2 ulp.  exp_mz2 within 2 ulp of each part in the normal
 * range.
 */
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kerb.h"
#include "internal.h"
#include "exp_tables.h"

namespace kerb {


/* exp(a.hi + a.lo) = m * 2^k with m near 1, never overflowing: by the
 * tables (exp_dd_split, exp_careful.cc, within 2^-69 before its one rounding), not
 * by libm's exp, whose last bit differs from one target's libm to
 * another's (on x86-64 glibc picks a variant by the processor). */
double exp_split(dd a, int *k)
{
	if (std::fabs(a.hi) > 1500) {
		*k = a.hi > 0 ? 2200 : -2200;
		return 1;
	}
	return exp_dd_split(a, k).hi;
}

/* Taylor coefficients of sin r / r - 1 (in r^2 from r^2) and of
 * cos r - 1 + r^2/2 (from r^4): at |r| <= pi/4 the first terms left out,
 * r^19/19! and r^20/20!, are below 1e-19. */
constexpr double sin_c[8] = {
	-0x1.5555555555555p-3, 0x1.1111111111111p-7, -0x1.a01a01a01a01ap-13,
	0x1.71de3a556c734p-19, -0x1.ae64567f544e4p-26, 0x1.6124613a86d09p-33,
	-0x1.ae7f3e733b81fp-41, 0x1.952c77030ad4ap-49,
};
constexpr double cos_c[8] = {
	0x1.5555555555555p-5, -0x1.6c16c16c16c17p-10, 0x1.a01a01a01a01ap-16,
	-0x1.27e4fb7789f5cp-22, 0x1.1eed8eff8d898p-29, -0x1.93974a8c07c9dp-37,
	0x1.ae7f3e733b81fp-45, -0x1.6827863b97d97p-53,
};

/* cos and sin of r, |r| <= pi/4 and a little, within 1 ulp: 1 - r^2/2
 * is formed with its rounding error kept (fdlibm's way). */
static void cos_sin_kernel(double r, double *c, double *s)
{
	double z = r * r, z2 = z * z, z4 = z2 * z2, rz = r * z;
	/* Estrin's scheme: pairs, then pairs of pairs, so that the chain
	 * from r to the result is short (the sums are led by the first
	 * coefficient, as in Horner's rule). */
	double s0 = sin_c[0] + z * sin_c[1], s1 = sin_c[2] + z * sin_c[3];
	double s2 = sin_c[4] + z * sin_c[5], s3 = sin_c[6] + z * sin_c[7];
	double c0 = cos_c[0] + z * cos_c[1], c1 = cos_c[2] + z * cos_c[3];
	double c2 = cos_c[4] + z * cos_c[5], c3 = cos_c[6] + z * cos_c[7];
	double ps = (s0 + z2 * s1) + z4 * (s2 + z2 * s3);
	double pc = (c0 + z2 * c1) + z4 * (c2 + z2 * c3);
	*s = r + rz * ps;
	double hz = 0.5 * z, w = 1 - hz;
	*c = w + (((1 - w) - hz) + z2 * pc);
}

/* cos and sin of v.hi + v.lo for a double-double v.  Below 1.2e7 the
 * argument is reduced by pi/2 in three parts (k p1 and k p2 exact, and
 * v.hi - k p1 exact by Sterbenz's lemma). */
void cos_sin_dd(dd v, double *c, double *s)
{
	if (!(std::fabs(v.hi) < 0x1.7p23)) {
		double ch = std::cos(v.hi), sh = std::sin(v.hi);
		double cl = std::cos(v.lo), sl = std::sin(v.lo);
		*c = ch * cl - sh * sl;
		*s = sh * cl + ch * sl;
		return;
	}
	double kf = nearest(v.hi * (2 * rpi_hi));
	dd r = two_sum(v.hi - kf * pio2_1, -kf * pio2_2);
	double rl = (r.lo - kf * pio2_3) + v.lo;
	double cr, sr;
	cos_sin_kernel(r.hi, &cr, &sr);
	/* The quadrant by selection and exact signs, not by a branch that
	 * mispredicts on scattered arguments. */
	static const double sgn_c[4] = {1, -1, -1, 1}, sgn_s[4] = {1, 1, -1, -1};
	const double cs[2] = {cr - sr * rl, sr + cr * rl};
	unsigned q = static_cast<unsigned>(static_cast<int>(kf)) & 3;
	*c = sgn_c[q] * cs[q & 1];
	*s = sgn_s[q] * cs[(q & 1) ^ 1];
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
static uint32_t inv_pi_at(int p)
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

static void cos_sin_huge(double x, double y, double *c, double *s)
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

/*
 * exp(-z^2) for z = x + iy given as double-double parts, |x| < 64,
 * |y| < 16 and y^2 - x^2 > -700 (otherwise exp_mz2 serves): nothing
 * overflows or leaves the normal range, and the phase 2xy < 2048 needs
 * no exact reduction.  The parts are formed in pairs (dd.h): x and y,
 * exp and the phase, cos and sin, Re and Im.
 */
void exp_mz2_small(dd x, dd y, double *re, double *im)
{
	double d = y.hi * y.hi - x.hi * x.hi;
	if (!(d > -700)) {
		/* Below 2^-1009 the scaling would leave the normal range;
		 * the general way takes the subnormals and underflow. */
		exp_mz2(x, y, 1, re, im);
		return;
	}
	/* y^2 - x^2 = u0 + u12: with x and y split into multiples of 2^-20
	 * (below 2^26 of them) and the rest, the squares of the heads and
	 * their difference are exact; the rest, below 2^-14, is rounded. */
	const pair zh = {x.hi, y.hi}, zl = {x.lo, y.lo};
	const pair split20 = {0x1.8p32, 0x1.8p32};
	pair h = (zh + split20) - split20, l = zh - h;
	pair hh = h * h, e2 = 2 * (h * l + zh * zl) + l * l;
	double u0 = hh[1] - hh[0], u12 = e2[1] - e2[0];
	/* 2xy = v + ve exactly (Dekker's product, with 2x cut to a 26-bit
	 * head and y split in two halves of 26 bits by Veltkamp's way, so
	 * that even al bl is exact). */
	double x2 = 2 * x.hi, v = x2 * y.hi;
	double ah = head26(x2), al = x2 - ah;
	dd yb = split(y.hi);
	double bh = yb.hi, bl = yb.lo;
	double ve = (((ah * bh - v) + ah * bl) + al * bh) + al * bl
		+ 2 * (x.hi * y.lo + x.lo * y.hi);

	/*
	 * exp(y^2 - x^2) = 2^(k/128) exp(r), and the phase 2xy = j 2 pi / 128
	 * + ra + rl, side by side: k l1 and j t1 are exact, and so are
	 * u0 - k l1 (both multiples of 2^-41, the difference below 1) and
	 * v - j t1 (Sterbenz); |r| <= ln 2 / 256 and a hair.  j t2 is exact,
	 * and so is ra + rl (fast_two_sum where |r1| >= |j t2|, and below
	 * that ra itself is exact).
	 */
	const pair a = {d, v}, b = {u0, v};
	const pair inv = {exp_inv, turn_inv};
	const pair c1 = {exp_l1, turn_1}, c2 = {exp_l23, turn_2};
	uint64_t kb[2];
	pair kf = nearest_int(a * inv, kb);
	pair t1 = b - kf * c1;
	pair t2 = t1 - kf * c2;
	int32_t k = static_cast<int32_t>(static_cast<uint32_t>(kb[0]));
	uint32_t j = static_cast<uint32_t>(kb[1]);
	double r = t2[0] + u12, ra = t2[1], jf = kf[1];
	double rl = ((t1[1] - ra) - jf * turn_2) + (ve - jf * turn_3);

	double r2 = r * r;
	double pr = r + r2 * ((exp_c[0] + r * exp_c[1]) + r2 * (exp_c[2] + r * exp_c[3]));
	const exp2_entry &te = exp2_table[k & (exp_n - 1)];
	double scale = pow2((k - (k & (exp_n - 1))) / exp_n);

	/* Next to a quarter turn, where cos or sin of the phase passes 0,
	 * the table's entry is the quarter turn's, and r its remainder
	 * (|r| <= 3 pi / 128 there): the small part is then a multiple of
	 * sin r, not the difference of two products twice its size.
	 * |off_h| >= |ra| or off_h = 0: fast_two_sum is exact. */
	const turn_entry &ce = turn_table[j & (turn_n - 1)];
	double rh = ce.off_h + ra;
	rl += (ra - (rh - ce.off_h)) + ce.off_l;
	/* sin r = rh + st, cos r = 1 + cm, side by side: the first terms
	 * left out, r^11/11! and r^10/10!, below 2^-63 and 2^-59 at
	 * 3 pi / 128, and below 2^-83 and 2^-79 elsewhere. */
	double z = rh * rh;
	const pair zz = {z, z};
	const pair q0 = {sin_t[0], cos_t[0]}, q1 = {sin_t[1], cos_t[1]};
	const pair q2 = {sin_t[2], cos_t[2]}, q3 = {sin_t[3], cos_t[3]};
	pair q = (q0 + zz * q1) + (zz * zz) * (q2 + zz * q3);
	double cm = z * q[1];
	double st = rl * (1 + cm) + rh * z * q[0];
	cm -= rh * rl;

	/*
	 * exp(-z^2) / 2^m = T (1 + pr) (C (1 + cm) - S sin r
	 *	- i (S (1 + cm) + C sin r)),
	 * Re and Im side by side, with T C as the exact product of the
	 * heads, the rest rounded: the largest of it, T S rh and T C rh,
	 * once, the smaller terms, some 2^-26 of T C or pr, cm and st times
	 * T, among themselves.
	 */
	pair cs_h, cs_l, cs_v;
	std::memcpy(&cs_h, &ce.c_h, sizeof cs_h);
	std::memcpy(&cs_l, &ce.c_l, sizeof cs_l);
	std::memcpy(&cs_v, &ce.c_v, sizeof cs_v);
	const pair sign = {-1, 1};
	pair tcs = te.v * cs_v, tsc = {tcs[1], tcs[0]};
	pair bcs = sign * (tsc * rh);
	pair g = tcs * cm + sign * (tsc * st);
	pair lo = te.h * cs_l + te.l * cs_v;
	pair rr = (lo + (pr * tcs + (g + pr * (g + bcs)))) + bcs;
	pair w = scale * (te.h * cs_h + rr);
	*re = w[0];
	*im = -w[1];
}

} // namespace kerb
