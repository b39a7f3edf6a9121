/* SPDX-License-Identifier: ISC */
/*
 * w_of_z_n and voigt_n give the single calls' numbers to the bit: over
 * the reference tables, and over random arrays of every length up to 70
 * that mix every region with NaN, infinities and signed zeros, at
 * addresses off the vector registers' alignment, in place and not.
 *
 * On x86-64 the library picks its loop by the processor: meson runs this
 * test natively and again under qemu with a processor without AVX2.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "kerb.h"
#include "table.h"

namespace {

typedef std::complex<double> cplx;

bool same_bits(double a, double b)
{
	return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_bits(cplx a, cplx b)
{
	return same_bits(a.real(), b.real()) && same_bits(a.imag(), b.imag());
}

struct Codes {
	int algorithm, nofterms;
	bool operator==(const Codes &o) const
	{
		return algorithm == o.algorithm && nofterms == o.nofterms;
	}
};

Codes codes()
{
	return {faddeeva_algorithm, faddeeva_nofterms};
}

/* The single calls' values and the counters after the last. */
std::vector<cplx> singles(const std::vector<cplx> &z, Codes *last)
{
	std::vector<cplx> w;
	for (cplx v : z)
		w.push_back(w_of_z(v));
	*last = codes();
	return w;
}

/* Room for n values of T in a buffer of doubles filled with a guard,
 * starting 8 bytes past a 32-byte boundary (off the alignment of SSE2
 * and AVX registers) and at least two doubles in. */
struct Buffer {
	static constexpr double guard = -0x1.5p-3;
	std::vector<double> d;
	size_t start, len;
	Buffer(size_t ndoubles) : d(ndoubles + 8, guard), len(ndoubles)
	{
		start = 2;
		while (reinterpret_cast<uintptr_t>(d.data() + start) % 32 != 8)
			start++;
	}
	template <class T> T *at()
	{
		return reinterpret_cast<T *>(d.data() + start);
	}
	/* The guard is whole outside [start, start + len). */
	bool guard_intact() const
	{
		for (size_t i = 0; i < d.size(); i++)
			if ((i < start || i >= start + len) && !same_bits(d[i], guard))
				return false;
		return true;
	}
};

/* w_of_z_n on z, into a separate array and in place, off alignment and
 * guarded; every value against the single call's, and the counters
 * against those of the last single call. */
void check_w(const std::vector<cplx> &z, const char *what)
{
	size_t n = z.size();
	Codes want_codes = {-7, -7};
	std::vector<cplx> want = singles(z, &want_codes);
	for (int in_place = 0; in_place < 2; in_place++) {
		Buffer in(2 * n), out(2 * n);
		std::copy(z.begin(), z.end(), in.at<cplx>());
		cplx *dst = in_place ? in.at<cplx>() : out.at<cplx>();
		faddeeva_algorithm = faddeeva_nofterms = -7;
		w_of_z_n(n, in.at<cplx>(), dst);
		if (n > 0) {
			EXPECT_TRUE(codes() == want_codes) << what << ", length " << n
				<< ": counters " << faddeeva_algorithm << " " << faddeeva_nofterms
				<< ", want " << want_codes.algorithm << " " << want_codes.nofterms;
		} else {
			EXPECT_TRUE(codes() == (Codes{-7, -7})) << what << ": an empty array set the counters";
		}
		size_t bad = 0;
		for (size_t i = 0; i < n; i++)
			if (!same_bits(dst[i], want[i]) && bad++ < 5)
				ADD_FAILURE() << std::hexfloat << what << (in_place ? ", in place" : "")
					<< ", length " << n << ", [" << i << "] z = " << z[i]
					<< ": w_of_z_n " << dst[i] << ", w_of_z " << want[i];
		EXPECT_EQ(bad, 0u);
		EXPECT_TRUE(in.guard_intact() && out.guard_intact())
			<< what << ", length " << n << ": wrote outside the array";
	}
}

/* voigt_n(x, sigma, gamma) against voigt, separate and in place, off
 * alignment and guarded; the counters against those the loop of single
 * calls leaves (the closed forms leave them alone, so a last x that takes
 * one leaves those of the last x that evaluated w, or the ones before). */
void check_voigt(const std::vector<double> &x, double sigma, double gamma, const char *what)
{
	size_t n = x.size();
	std::vector<double> want;
	faddeeva_algorithm = faddeeva_nofterms = -7;
	for (double v : x)
		want.push_back(voigt(v, sigma, gamma));
	Codes want_codes = codes();
	for (int in_place = 0; in_place < 2; in_place++) {
		Buffer in(n), out(n);
		std::copy(x.begin(), x.end(), in.at<double>());
		double *dst = in_place ? in.at<double>() : out.at<double>();
		faddeeva_algorithm = faddeeva_nofterms = -7;
		voigt_n(n, in.at<double>(), sigma, gamma, dst);
		EXPECT_TRUE(codes() == want_codes) << what << ", length " << n << ", sigma "
			<< sigma << ", gamma " << gamma << ": counters " << faddeeva_algorithm << " "
			<< faddeeva_nofterms << ", want " << want_codes.algorithm << " "
			<< want_codes.nofterms;
		size_t bad = 0;
		for (size_t i = 0; i < n; i++)
			if (!same_bits(dst[i], want[i]) && bad++ < 5)
				ADD_FAILURE() << std::hexfloat << what << (in_place ? ", in place" : "")
					<< ", length " << n << ", voigt(" << x[i] << ", " << sigma << ", "
					<< gamma << "): voigt_n " << dst[i] << ", voigt " << want[i];
		EXPECT_EQ(bad, 0u);
		EXPECT_TRUE(in.guard_intact() && out.guard_intact())
			<< what << ", length " << n << ": wrote outside the array";
	}
}

TEST(Arrays, TablesGiveTheSingleCallsBits)
{
	std::vector<WPoint> wt = load_records<WPoint>({"KERB_W_TABLE", "KERB_BOX_TABLE",
		"KERB_HOSTILE_TABLE"});
	ASSERT_GT(wt.size(), 136000u) << "no tables in KERB_W_TABLE, KERB_BOX_TABLE and KERB_HOSTILE_TABLE";
	std::vector<cplx> z;
	for (const WPoint &p : wt)
		z.push_back({p.x, p.y});
	check_w(z, "w table");

	std::vector<VPoint> vt = load_records<VPoint>({"KERB_VOIGT_TABLE", "KERB_LINE_TABLE"});
	ASSERT_GT(vt.size(), 26000u) << "no tables in KERB_VOIGT_TABLE and KERB_LINE_TABLE";
	/* Each point's widths with the x of the next seven points: every
	 * point's x and widths pass through the array call. */
	for (size_t i = 0; i < vt.size(); i++) {
		std::vector<double> x;
		for (size_t k = i; k < vt.size() && k < i + 8; k++)
			x.push_back(vt[k].x);
		check_voigt(x, vt[i].sigma, vt[i].gamma, "voigt table");
		if (HasFailure())
			return;
	}
}

/* Points from every region of w, and the inputs that are special. */
cplx random_point(std::mt19937_64 &gen)
{
	std::uniform_real_distribution<double> u(0, 1);
	auto sgn = [&] { return u(gen) < 0.5 ? -1.0 : 1.0; };
	auto logu = [&](double lo, double hi) { return std::pow(10.0, lo + (hi - lo) * u(gen)); };
	const double special[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, -NAN, 0x1p-1074,
		-0x1p-1074, 0x1.fffffffffffffp+1023, 8.125, 0.125, -0.125, 26.6, 40.25};
	switch (gen() % 12) {
	case 0:		/* upper box */
		return {16 * u(gen) - 8, 8 * u(gen)};
	case 1:		/* lower box */
		return {16 * u(gen) - 8, -8.125 * u(gen)};
	case 2:		/* line wings, both half-planes */
		return {sgn() * (7.75 + 32.5 * u(gen)), sgn() * logu(-8, 1)};
	case 3:		/* near the origin */
		return {sgn() * logu(-320, -1), sgn() * logu(-320, -1)};
	case 4: {	/* about the zeros of w */
		const double zx[] = {1.9915, 2.6911, 4.1061, 6.7355}, zy[] = {-1.3548, -2.1770,
			-3.7259, -6.4705};
		int k = gen() % 4;
		return {sgn() * zx[k] + 0.1 * (u(gen) - 0.5), zy[k] + 0.1 * (u(gen) - 0.5)};
	}
	case 5:		/* far out, any quadrant */
		return {sgn() * logu(0, 300), sgn() * logu(-300, 300)};
	case 6:		/* the edge of overflow */
		return {sgn() * 30 * u(gen), -26 - 2 * u(gen)};
	case 7:		/* the grids' rows on the real axis, down to where
			 * exp(-z^2) leaves the tables' range */
		return {sgn() * 40 * u(gen), sgn() * logu(gen() % 2 ? -320 : -20, -0.6)};
	case 8:		/* on an axis */
		return u(gen) < 0.5 ? cplx(sgn() * 40 * u(gen), sgn() * 0.0)
				    : cplx(sgn() * 0.0, 30 * u(gen) - 10);
	default: {	/* a special part with an ordinary or special other */
		const size_t ns = sizeof special / sizeof special[0];
		double a = special[gen() % ns], b = u(gen) < 0.5 ? special[gen() % ns] : 20 * u(gen) - 10;
		return u(gen) < 0.5 ? cplx(a, b) : cplx(b, a);
	}
	}
}

TEST(Arrays, EveryLengthMixingRegionsAndSpecialInputs)
{
	std::mt19937_64 gen(25);
	for (int round = 0; round < 20; round++)
		for (size_t n = 0; n <= 70; n++) {
			std::vector<cplx> z;
			for (size_t i = 0; i < n; i++)
				z.push_back(random_point(gen));
			check_w(z, "random");
			if (HasFailure())
				return;
		}
}

/* A point of one region, for runs along which four in a row take one
 * path (the array call's groups): the upper box, its row on the real
 * axis (exp(-z^2) added), the lower box (with its careful reflections
 * and the discs about the zeros), the wing grid, and its row. */
cplx region_point(std::mt19937_64 &gen, int region)
{
	std::uniform_real_distribution<double> u(0, 1);
	auto sgn = [&] { return u(gen) < 0.5 ? -1.0 : 1.0; };
	switch (region) {
	case 0:
		return {16 * u(gen) - 8, 8 * u(gen)};
	case 1:
		return {16 * u(gen) - 8, 0.125 * u(gen) * (u(gen) < 0.2 ? 1e-30 : 1)};
	case 2:
		return {16 * u(gen) - 8, -8.125 * u(gen)};
	case 3:
		return {sgn() * (7.75 + 32.5 * u(gen)), 10.25 * u(gen)};
	default:
		return {sgn() * (7.75 + 32.5 * u(gen)), std::pow(10.0, -12 * u(gen)) * 0.25};
	}
}

TEST(Arrays, RunsOfOneRegion)
{
	/* Runs of 1 to 12 points of one region, one region after another,
	 * now and then a special input: every way four points in a row can
	 * share a path or not, at every length to 70 and in long arrays,
	 * where the lower box's careful reflections and zeros' discs turn
	 * up among the groups. */
	std::mt19937_64 gen(27);
	auto runs = [&](size_t n) {
		std::vector<cplx> z;
		while (z.size() < n) {
			int region = gen() % 5;
			for (size_t k = 1 + gen() % 12; k > 0 && z.size() < n; k--)
				z.push_back(gen() % 97 == 0 ? random_point(gen) : region_point(gen, region));
		}
		return z;
	};
	for (int round = 0; round < 10; round++)
		for (size_t n = 0; n <= 70; n++) {
			check_w(runs(n), "runs");
			if (HasFailure())
				return;
		}
	for (int region = 0; region < 5; region++) {
		std::vector<cplx> z;
		for (int i = 0; i < 20000; i++)
			z.push_back(region_point(gen, region));
		check_w(z, "one region");
	}
}

TEST(Arrays, RandomBitPatterns)
{
	/* Whatever the bits, NaN payloads and all: arrays of 61 (odd, so
	 * that no width divides them) against the single calls. */
	const char *env = std::getenv("KERB_FUZZ");
	long n = env ? std::atol(env) : 100000;
	std::mt19937_64 gen(61);
	auto from_bits = [](uint64_t b) {
		double d;
		std::memcpy(&d, &b, sizeof d);
		return d;
	};
	for (long done = 0; done < n && !HasFailure(); done += 61) {
		std::vector<cplx> z;
		for (int i = 0; i < 61; i++)
			z.push_back({from_bits(gen()), from_bits(gen())});
		check_w(z, "bit patterns");
	}
}

TEST(Arrays, VoigtAlongLines)
{
	/* Lines of x, as spectra are sampled: neighbours four in a row share
	 * a grid and mostly a cell, at steps from far below to above a
	 * cell's width, about the line's centre and out in its wings. */
	std::mt19937_64 gen(28);
	std::uniform_real_distribution<double> u(0, 1);
	for (int k = 0; k < 200; k++) {
		double sigma = std::pow(10.0, 2 * u(gen) - 1), gamma = std::pow(10.0, 6 * u(gen) - 4);
		double step = sigma * std::pow(10.0, 3 * u(gen) - 3), x0 = sigma * 80 * (u(gen) - 0.5);
		std::vector<double> x;
		for (size_t i = 0, n = gen() % 400; i < n; i++)
			x.push_back(x0 + step * static_cast<double>(i));
		check_voigt(x, sigma, gamma, "line");
		if (HasFailure())
			return;
	}
}

TEST(Arrays, VoigtEveryLengthAndEveryKindOfWidth)
{
	std::mt19937_64 gen(26);
	std::uniform_real_distribution<double> u(0, 1);
	const double widths[] = {1, 0.001, 0.1, 10, 3e-7, 0.0, -0.0, -1, INFINITY, NAN,
		0x1p-310, 0x1p310, 0x1p-1074, 1e5};
	const size_t nw = sizeof widths / sizeof widths[0];
	const double xs[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, 0x1p301, 0x1p-1074, 1e12};
	for (size_t n = 0; n <= 70; n++)
		for (int k = 0; k < 6; k++) {
			double sigma = widths[gen() % nw], gamma = widths[gen() % nw];
			if (k < 3) {
				/* Ordinary widths half the time: the common path. */
				sigma = std::pow(10.0, 4 * u(gen) - 2);
				gamma = std::pow(10.0, 8 * u(gen) - 6);
			}
			std::vector<double> x;
			for (size_t i = 0; i < n; i++) {
				double scale = sigma > 0 && std::isfinite(sigma) ? sigma : 1;
				x.push_back(gen() % 8 == 0 ? xs[gen() % 8]
							   : scale * (100 * u(gen) - 50) * std::pow(10.0, 3 * u(gen)));
			}
			check_voigt(x, sigma, gamma, "random");
			if (HasFailure())
				return;
		}
}

} // namespace
