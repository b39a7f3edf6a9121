/* SPDX-License-Identifier: ISC */
/*
 * Random bit patterns of z: every finite z must finish with no NaN, stay
 * in the unit disc in the upper half-plane (|w| <= 1, Re w >= 0 there)
 * and overflow only where 2 exp(-z^2) does; random widths keep the Voigt
 * profile between 0 and its peaks.  KERB_FUZZ=n sets the count (10^5 by
 * default, a tenth of it for the profile; tests/kerb/fuzz runs 10^7).
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>

#include "kerb.h"

namespace {

double from_bits(uint64_t b)
{
	double d;
	std::memcpy(&d, &b, sizeof d);
	return d;
}

TEST(WOfZFuzz, RandomBitPatterns)
{
	const char *env = std::getenv("KERB_FUZZ");
	long n = env ? std::atol(env) : 100000;
	std::mt19937_64 gen(20261208);
	long failures = 0, finite = 0;
	for (long i = 0; i < n && failures < 20; i++) {
		double x = from_bits(gen()), y = from_bits(gen());
		if (!std::isfinite(x) || !std::isfinite(y))
			continue;
		finite++;
		double _Complex z;
		__real__ z = x;
		__imag__ z = y;
		double _Complex w = w_of_z(z);
		double re = __real__ w, im = __imag__ w;
		bool ok = !std::isnan(re) && !std::isnan(im);
		if (y >= 0) {
			ok = ok && re >= 0 && std::hypot(re, im) <= 1 + 0x1p-50;
		} else if (std::isinf(re) || std::isinf(im)) {
			double ax = std::fabs(x), ay = std::fabs(y);
			ok = ok && (ay - ax) * (ay + ax) > 700;
		}
		if (!ok) {
			failures++;
			ADD_FAILURE() << std::hexfloat << "w(" << x << " + " << y << "i) = "
				<< re << " + " << im << "i";
		}
	}
	EXPECT_EQ(failures, 0);
	std::printf("fuzz: %ld finite z of %ld bit patterns\n", finite, n);
}

TEST(VoigtFuzz, RandomBitPatterns)
{
	/* A probability density, never above either of its peaks. */
	const char *env = std::getenv("KERB_FUZZ");
	long n = (env ? std::atol(env) : 100000) / 10;
	std::mt19937_64 gen(8);
	long failures = 0;
	for (long i = 0; i < n && failures < 20; i++) {
		double x = from_bits(gen()), sigma = std::fabs(from_bits(gen())),
			gamma = std::fabs(from_bits(gen()));
		if (i % 3 == 0)
			gamma = sigma * from_bits(gen() >> 2);	/* comparable widths */
		if (!std::isfinite(x) || !std::isfinite(sigma) || !std::isfinite(gamma)
			|| sigma == 0 || gamma == 0)
			continue;
		double v = voigt(x, sigma, gamma);
		double peak = std::fmin(1 / sigma / 2.5066282746310002, 1 / gamma / M_PI);
		/* The bound itself rounds, on the subnormal grid too. */
		if (!(v >= 0 && v <= peak * (1 + 0x1p-50) + 0x1p-1072)) {
			failures++;
			ADD_FAILURE() << std::hexfloat << "voigt(" << x << ", " << sigma << ", "
				<< gamma << ") = " << v << ", peak bound " << peak;
		}
	}
	EXPECT_EQ(failures, 0);
}

} // namespace
