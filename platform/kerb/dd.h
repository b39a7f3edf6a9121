/* SPDX-License-Identifier: ISC */
/*
 * dd.h: double-double arithmetic for libkerb, and the few tricks with a
 * double's bits that the library's files share.  A value is hi + lo with
 * |lo| <= ulp(hi)/2; the error-free sums and products below need every
 * double operation rounded once (no contraction, no x87 extended
 * registers: see meson.build).
 */
#ifndef KERB_DD_H
#define KERB_DD_H

#include <cmath>
#include <cstdint>
#include <cstring>

/* The templates below pass vector lanes between inline functions of the
 * library's array calls, never across its interface: the warning that
 * their passing differs with and without AVX does not concern them. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kerb {

/* A double-double, of doubles or of vector lanes of them (lanes.h): the
 * error-free steps below are written once for both, as templates (their
 * names end in _t), the same operations in the same order, so that each
 * lane has the bits of the double.  The functions without _t are the
 * doubles' own. */
template <class T> struct dd_of {
	T hi, lo;
};
typedef dd_of<double> dd;

/*
 * Two doubles side by side, which the compiler keeps in one vector
 * register where the machine has one (SSE2 on x86; elsewhere they are two
 * doubles).  Each lane is rounded exactly as the same operation on a
 * double would be, so work done in pairs gives the scalar code's bits in
 * fewer instructions.
 */
typedef double pair __attribute__((vector_size(16)));

/* 2^k for k in the normal range, -1022 <= k <= 1023, from its bits: a
 * product by it is exact where ldexp would be a call. */
inline double pow2(int k)
{
	uint64_t b = static_cast<uint64_t>(k + 1023) << 52;
	double p;
	std::memcpy(&p, &b, sizeof p);
	return p;
}

/*
 * Adding 1.5 2^52 to v, |v| < 2^51, leaves v rounded to a whole number
 * (ties to even) as the sum's units, in its low bits; subtracting it again
 * gives that whole number as a double.  Shorter than a conversion to an
 * integer and back, and nearest_int reads the integer from the bits.
 */
constexpr double round_shift = 0x1.8p52;

inline double nearest(double v)
{
	return (v + round_shift) - round_shift;
}

/* nearest(v), and the same as an int in *k, for |v| < 2^31. */
inline double nearest_int(double v, int32_t *k)
{
	double s = v + round_shift;
	uint64_t b;
	std::memcpy(&b, &s, sizeof b);
	*k = static_cast<int32_t>(static_cast<uint32_t>(b));
	return s - round_shift;
}

/* The same on a pair, for |v| < 2^31 in each lane: the sums' bits in
 * b[0] and b[1], whose low 32 bits hold the whole numbers. */
inline pair nearest_int(pair v, uint64_t b[2])
{
	const pair shift = {round_shift, round_shift};
	pair s = v + shift;
	std::memcpy(b, &s, 2 * sizeof *b);
	return s - shift;
}

/*
 * Veltkamp's splitting: a = hi + lo exactly, each with at most 26
 * significant bits, so that the product of two such halves is exact
 * (lo may exceed half an ulp of hi: not a double-double).  2^27 |a| must
 * stay finite.
 */
template <class T> inline dd_of<T> split_t(T a)
{
	constexpr double c = 0x1p27 + 1;
	T ca = c * a;
	T hi = ca - (ca - a);
	return {hi, a - hi};
}

template <class T> inline dd_of<T> two_sum_t(T a, T b)
{
	T s = a + b;
	T bb = s - a;
	return {s, (a - (s - bb)) + (b - bb)};
}

template <class T> inline dd_of<T> fast_two_sum_t(T a, T b)
{
	T s = a + b;
	return {s, b - (s - a)};
}

inline dd split(double a)
{
	return split_t(a);
}

inline dd two_sum(double a, double b)
{
	return two_sum_t(a, b);
}

inline dd fast_two_sum(double a, double b)
{
	return fast_two_sum_t(a, b);
}

/* a * b exactly, for |a|, |b| well inside the range (Veltkamp splitting
 * needs 2^27 |a| to stay finite).  Always by the split, never by a fused
 * multiply-add where the target has one: the two agree only while the
 * error term is normal, and below that (a tiny x in the series about 0)
 * the results would differ from target to target. */
template <class T> inline dd_of<T> two_prod_t(T a, T b)
{
	T p = a * b;
	dd_of<T> sa = split_t(a), sb = split_t(b);
	return {p, ((sa.hi * sb.hi - p) + sa.hi * sb.lo + sa.lo * sb.hi) + sa.lo * sb.lo};
}

template <class T> inline dd_of<T> dd_mul_t(dd_of<T> a, dd_of<T> b)
{
	dd_of<T> p = two_prod_t(a.hi, b.hi);
	return fast_two_sum_t(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

template <class T> inline dd_of<T> dd_add_t(dd_of<T> a, dd_of<T> b)
{
	dd_of<T> s = two_sum_t(a.hi, b.hi);
	return fast_two_sum_t(s.hi, s.lo + a.lo + b.lo);
}

inline dd two_prod(double a, double b)
{
	return two_prod_t(a, b);
}

inline dd dd_mul(dd a, dd b)
{
	return dd_mul_t(a, b);
}

inline dd dd_add(dd a, dd b)
{
	return dd_add_t(a, b);
}

inline dd dd_ldexp(dd a, int k)
{
	return {std::ldexp(a.hi, k), std::ldexp(a.lo, k)};
}

/* a times a power of two p, exact while neither part leaves the normal
 * range; a product, where ldexp would be a call. */
template <class T, class P> inline dd_of<T> dd_scale_t(dd_of<T> a, P p)
{
	return {a.hi * p, a.lo * p};
}

template <class T> inline dd_of<T> dd_neg_t(dd_of<T> a)
{
	return {-a.hi, -a.lo};
}

template <class T> inline dd_of<T> dd_mul_d_t(dd_of<T> a, T b)
{
	dd_of<T> p = two_prod_t(a.hi, b);
	return fast_two_sum_t(p.hi, p.lo + a.lo * b);
}

inline dd dd_scale(dd a, double p)
{
	return dd_scale_t(a, p);
}

inline dd dd_neg(dd a)
{
	return dd_neg_t(a);
}

inline dd dd_mul_d(dd a, double b)
{
	return dd_mul_d_t(a, b);
}

/* a / b to about 2^-104. */
inline dd dd_div_d(dd a, double b)
{
	double q = a.hi / b;
	dd p = two_prod(q, b);
	return fast_two_sum(q, (((a.hi - p.hi) - p.lo) + a.lo) / b);
}

/* n / d to about 2^-104. */
inline dd dd_quot(dd n, dd d)
{
	double q1 = n.hi / d.hi;
	dd r = dd_add(n, dd_neg(dd_mul_d(d, q1)));
	double q2 = r.hi / d.hi;
	r = dd_add(r, dd_neg(dd_mul_d(d, q2)));
	double q3 = r.hi / d.hi;
	dd q = fast_two_sum(q1, q2);
	return dd_add(q, {q3, 0});
}

/* (n.hi + n.lo) / (d.hi + d.lo), within a hair of correct rounding. */
inline double dd_div(dd n, dd d)
{
	double q = n.hi / d.hi;
	dd p = two_prod(q, d.hi);
	double r = ((n.hi - p.hi) - p.lo + n.lo) - q * d.lo;
	return q + r / d.hi;
}

/* x^2 - y^2 as double-double, exact to the last few bits of the larger
 * square even where the two nearly cancel. */
template <class T> inline dd_of<T> diff_squares_t(dd_of<T> x, dd_of<T> y)
{
	dd_of<T> p = two_prod_t(x.hi, x.hi), q = two_prod_t(y.hi, y.hi);
	dd_of<T> s = two_sum_t(p.hi, -q.hi);
	dd_of<T> t = two_sum_t(p.lo, -q.lo);
	T cross = 2 * (x.hi * x.lo - y.hi * y.lo);
	dd_of<T> u = two_sum_t(s.hi, t.hi);
	return fast_two_sum_t(u.hi, u.lo + s.lo + t.lo + cross);
}

inline dd diff_squares(dd x, dd y)
{
	return diff_squares_t(x, y);
}

} // namespace kerb

#pragma GCC diagnostic pop

#endif
