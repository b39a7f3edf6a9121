/* SPDX-License-Identifier: ISC */
/*
 * Special inputs, symmetries and the counters: what w_of_z(3) and
 * voigt(3) promise beyond the tables.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "kerb.h"

namespace {

struct W {
	double re, im;
};

W w(double x, double y)
{
	double _Complex z;
	__real__ z = x;
	__imag__ z = y;
	double _Complex r = w_of_z(z);
	return {__real__ r, __imag__ r};
}

bool same(double a, double b)
{
	return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

TEST(WOfZSpecial, ZerosInfinitiesAndNaN)
{
	struct {
		double x, y, re, im;
	} const cases[] = {
		{0.0, 0.0, 1, 0.0},
		{-0.0, 0.0, 1, -0.0},
		{INFINITY, 1, 0.0, 0.0},
		{-INFINITY, 1, 0.0, -0.0},
		{INFINITY, -1, -0.0, 0.0},
		{2, INFINITY, 0.0, 0.0},
		{-2, INFINITY, 0.0, -0.0},
		{0.0, -INFINITY, INFINITY, 0.0},
		{1, -INFINITY, NAN, NAN},
		{NAN, 1, NAN, NAN},
		{1, NAN, NAN, NAN},
	};
	for (const auto &c : cases) {
		W r = w(c.x, c.y);
		EXPECT_TRUE(same(r.re, c.re) && same(r.im, c.im))
			<< "w(" << c.x << ", " << c.y << ") = " << r.re << ", " << r.im;
		if (!std::isfinite(c.x) || !std::isfinite(c.y)) {
			EXPECT_EQ(faddeeva_algorithm, 0);
		}
	}
	/* A subnormal z is w(0) to the last bit but keeps Im w = 2x/sqrt(pi),
	 * rounded to the subnormal grid: 16 * 1.128... -> 18 units. */
	W r = w(0x1p-1070, 0x1p-1070);
	EXPECT_EQ(r.re, 1.0);
	EXPECT_EQ(r.im, 0x1.2p-1070);
}

TEST(WOfZSpecial, SymmetriesHoldBitForBit)
{
	/* w(-conj z) = conj w(z): one path computes both. */
	std::mt19937_64 gen(7);
	std::uniform_real_distribution<double> e(-8, 8), m(-1, 1);
	for (int i = 0; i < 2000; i++) {
		double x = m(gen) * std::pow(10.0, e(gen)), y = m(gen) * std::pow(10.0, e(gen));
		W a = w(x, y), b = w(-x, y);
		EXPECT_TRUE(same(a.re, b.re) && same(a.im, -b.im)) << x << " " << y;
	}
}

TEST(WOfZSpecial, CountersNameTheMethod)
{
	struct {
		double x, y;
		int algorithm, lo, hi;
	} const cases[] = {
		{1e-10, 0, 1, 3, 3},
		{0.03, 0.02, 1, 11, 13},
		{0.3, 0.2, 6, 8, 20},
		{2, 1, 6, 8, 20},
		{7.9, 0.01, 6, 8, 20},
		{20, 0.5, 6, 8, 24},
		{50, 0.5, 3, 2, 15},
		{1e9, 1, 4, 1, 1},
		{-2, -1, 16, 8, 20},
		{-30, -0.5, 16, 8, 24},
		{-50, -0.5, 13, 2, 15},
		{1e-300, -1e-300, 1, 3, 3},
		{-0.03, -0.02, 1, 11, 13},
		{2.0, -1.36, 5, 5, 25},
		{-4.46, -4.11, 5, 5, 25},
	};
	for (const auto &c : cases) {
		faddeeva_algorithm = faddeeva_nofterms = -1;
		(void)w(c.x, c.y);
		EXPECT_EQ(faddeeva_algorithm, c.algorithm) << c.x << " " << c.y;
		EXPECT_GE(faddeeva_nofterms, c.lo) << c.x << " " << c.y;
		EXPECT_LE(faddeeva_nofterms, c.hi) << c.x << " " << c.y;
	}
}

TEST(WOfZSpecial, GridCellsMeetHalfwayBetweenCentres)
{
	/* Halfway between two centres either cell serves, and just off it
	 * the two neighbours do: w must not jump there.  The box grid's
	 * centres lie at multiples of 1/4, the wing grid's at 8 + multiples
	 * of 1/2; both half-planes, the lower through the reflection. */
	const struct {
		double x0, step, xmax, ymax;
	} grids[] = {{0, 0.25, 8, 8}, {8, 0.5, 40, 10}};
	const double off = 0x1p-30;
	for (const auto &g : grids)
		for (double x = g.x0 + g.step / 2; x < g.xmax; x += 3 * g.step)
			for (double y = g.step / 2; y < g.ymax; y += 5 * g.step)
				for (double sy : {1.0, -1.0}) {
					if (sy < 0 && (y > 6 || x > 8))
						continue;
					W mid = w(x, sy * y);
					for (double dx : {-off, off})
						for (double dy : {-off, off}) {
							W n = w(x + dx, sy * (y + dy));
							double scale = std::hypot(mid.re, mid.im);
							/* |w'| <= 2 |z w| + 2/sqrt(pi): the step moves w
							 * by that times 1.5e-9 at most. */
							double move = (2 * std::hypot(x, y) * scale + 1.2) * 1.5e-9;
							EXPECT_NEAR(n.re, mid.re, move + 1e-15 * scale) << x << " " << sy * y;
							EXPECT_NEAR(n.im, mid.im, move + 1e-15 * scale) << x << " " << sy * y;
						}
				}
}

TEST(WOfZSpecial, EachZeroIsSummedAboutItself)
{
	/* The 14 zeros of w nearest the origin with x > 0, to 4 digits. */
	const double zeros[14][2] = {
		{1.9915, -1.3548}, {2.6911, -2.1770}, {3.2353, -2.7844}, {3.6973, -3.2874},
		{4.1061, -3.7259}, {4.4768, -4.1196}, {4.8185, -4.4798}, {5.1371, -4.8138},
		{5.4367, -5.1265}, {5.7204, -5.4216}, {5.9906, -5.7017}, {6.2489, -5.9688},
		{6.4968, -6.2247}, {6.7355, -6.4705},
	};
	for (const auto &z : zeros) {
		/* At the zero, and a little inside its disc of radius
		 * 0.3/|z0| in eight directions, on both sides of x = 0. */
		double r = 0.28 / std::hypot(z[0], z[1]);
		for (int k = -1; k < 8; k++) {
			double dx = k < 0 ? 0 : r * std::cos(k * M_PI / 4);
			double dy = k < 0 ? 0 : r * std::sin(k * M_PI / 4);
			for (double s : {1.0, -1.0}) {
				W v = w(s * (z[0] + dx), z[1] + dy);
				EXPECT_EQ(faddeeva_algorithm, 5) << s * (z[0] + dx) << " " << z[1] + dy;
				if (k < 0) {
					EXPECT_LT(std::hypot(v.re, v.im), 2e-4) << z[0] << " " << z[1];
				}
			}
		}
		/* Halfway in phase to the next zero no series about a zero
		 * serves. */
		double x = z[0] + 0.5 * M_PI / 2 / z[0];
		(void)w(x, z[1] - 0.5 * M_PI / 2 / -z[1]);
		EXPECT_EQ(faddeeva_algorithm, 16) << x;
	}
}

TEST(WOfZSpecial, OverflowGivesTheRightInfinity)
{
	/* exp(-z^2) dominates: w = 2 exp(y^2 - x^2) (cos 2xy - i sin 2xy). */
	W r = w(0, -30);
	EXPECT_EQ(r.re, INFINITY);
	EXPECT_EQ(r.im, 0);
	r = w(0.5, -27);	/* exp(-z^2) ~ exp(27i) */
	EXPECT_EQ(r.re, std::copysign(INFINITY, std::cos(27.0)));
	EXPECT_EQ(r.im, std::copysign(INFINITY, std::sin(27.0)));
	/* Just inside the range the value is finite. */
	r = w(0, -26.6);
	EXPECT_TRUE(std::isfinite(r.re) && r.re > 1e307);
}

TEST(VoigtSpecial, LimitsAndDomain)
{
	const double rs2pi = 0.3989422804014327;	/* 1/sqrt(2 pi) */
	EXPECT_DOUBLE_EQ(voigt(0, 1, 0), rs2pi);
	EXPECT_DOUBLE_EQ(voigt(3, 2, 0), rs2pi / 2 * std::exp(-9.0 / 8));
	EXPECT_DOUBLE_EQ(voigt(3, 0, 2), 2 / (M_PI * 13));
	EXPECT_EQ(voigt(0, 0, 0), INFINITY);
	EXPECT_EQ(voigt(1, 0, 0), 0);
	EXPECT_TRUE(std::isnan(voigt(1, -1, 1)));
	EXPECT_TRUE(std::isnan(voigt(1, 1, -1)));
	EXPECT_TRUE(std::isnan(voigt(NAN, 1, 1)));
	EXPECT_EQ(voigt(INFINITY, 1, 1), 0);
	EXPECT_EQ(voigt(1, INFINITY, 1), 0);
	/* Even in x, homogeneous of degree -1 across the whole range. */
	EXPECT_EQ(voigt(-1.5, 1, 0.5), voigt(1.5, 1, 0.5));
	EXPECT_EQ(voigt(0x1.8p900, 0x1p900, 0x1p899), 0x1p-900 * voigt(1.5, 1, 0.5));
	EXPECT_EQ(voigt(0x1.8p-900, 0x1p-900, 0x1p-901), 0x1p900 * voigt(1.5, 1, 0.5));
	/* Across the scales where the arguments are taken as they are and
	 * where they are scaled first, to the last bit. */
	for (int k = -330; k <= 330; k += 3) {
		double s = std::ldexp(1.0, k);
		EXPECT_EQ(voigt(-1.5 * s, s, 0.5 * s), voigt(1.5, 1, 0.5) / s) << k;
		EXPECT_EQ(voigt(3e-3 * s, 0.25 * s, 7e-4 * s), 4 * voigt(0.012, 1, 0.0028) / s) << k;
	}
	/* A NaN in any place, and a negative width, whatever the rest. */
	EXPECT_TRUE(std::isnan(voigt(1, NAN, 1)));
	EXPECT_TRUE(std::isnan(voigt(1, 1, NAN)));
	EXPECT_TRUE(std::isnan(voigt(1, -0x1p-400, 1e-300)));
	/* At the edge where the Lorentzian takes over, |x + i gamma| =
	 * 2^27 sigma, the two sides agree to within a few ulp. */
	double edge = voigt(0x1p27, 1, 1), beyond = voigt(0x1.0000000000001p27, 1, 1);
	EXPECT_NEAR(edge / beyond, 1, 1e-15);
	edge = voigt(1, 1, 0x1p27);
	beyond = voigt(1, 1, 0x1.0000000000001p27);
	EXPECT_NEAR(edge / beyond, 1, 1e-15);
}

} // namespace
