/* SPDX-License-Identifier: ISC */
/*
 * exp(-z^2) inside libkerb, against mkexpdata's 40-digit values: the fast
 * version (exp_mz2_small) part by part, the careful one (exp_mz2_careful)
 * against |exp(-z^2)|.  Built with exp.cc and exp_careful.cc themselves,
 * whose functions the library does not export.
 *
 * Environment (set by meson): KERB_EXP_TABLE names the table.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "internal.h"
#include "table.h"

namespace {

using kerb::dd;

#pragma pack(push, 4)
struct EPoint {
	double x, xl, y, yl, re, im;
	float re_lo, im_lo;
	uint32_t set;
};
#pragma pack(pop)
static_assert(sizeof(EPoint) == 60, "record layout");

const char *const set_names[] = {"lower-box", "near-origin", "turns", "double-double",
	"real-row", "huge-phase"};
constexpr uint32_t huge_phase_set = 5;

/* got - (hi + hi lo), exactly enough: the difference of two doubles and
 * a small product. */
double diff(double got, double hi, float lo)
{
	return (got - hi) - hi * static_cast<double>(lo);
}

/*
 * Each part within 2 ulp, or, where the phase is within a hair of a
 * quarter turn and the part nearly vanishes, within 2^-100 of
 * |exp(-z^2)|: the remainder of the phase is rounded there.
 */
TEST(ExpMz2Small, EachPartWithinTwoUlp)
{
	std::vector<EPoint> pts = load_records<EPoint>({"KERB_EXP_TABLE"});
	ASSERT_GT(pts.size(), 5000u) << "the table (KERB_EXP_TABLE) is missing or short";
	double worst[6] = {0, 0, 0, 0, 0, 0};
	int checked = 0;
	for (const EPoint &p : pts) {
		if (p.set == huge_phase_set)
			continue;
		double re, im;
		kerb::exp_mz2_small({p.x, p.xl}, {p.y, p.yl}, &re, &im);
		double mag = std::hypot(p.re, p.im);
		const double got[2] = {re, im}, hi[2] = {p.re, p.im};
		const float lo[2] = {p.re_lo, p.im_lo};
		for (int k = 0; k < 2; k++) {
			double d = std::fabs(diff(got[k], hi[k], lo[k]));
			double a = std::fabs(hi[k]);
			double ulp = std::fmax(std::ldexp(1.0, std::ilogb(a) - 52), 0x1p-1074);
			double bound = std::fmax(2 * ulp, 0x1p-100 * mag);
			EXPECT_LE(d, bound) << set_names[p.set] << ": part " << k << " of exp(-z^2) at "
				<< std::hexfloat << p.x << " + " << p.xl << ", " << p.y << " + " << p.yl
				<< ": " << got[k] << ", want " << hi[k];
			if (a >= 0x1p-1000 && a >= 0x1p-40 * mag) {
				worst[p.set] = std::fmax(worst[p.set], d / ulp);
				checked++;
			}
		}
	}
	EXPECT_GT(checked, 10000);
	for (int s = 0; s < 5; s++)
		std::printf("exp_mz2_small %-14s max %.3g ulp\n", set_names[s], worst[s]);
}

/* Both parts within 2^-68 of |exp(-z^2)|, for 2 exp(-z^2) = (re + i im) 2^k,
 * the phase however large. */
TEST(ExpMz2Careful, WithinTwoToTheMinus68)
{
	std::vector<EPoint> pts = load_records<EPoint>({"KERB_EXP_TABLE"});
	ASSERT_GT(pts.size(), 5000u) << "the table (KERB_EXP_TABLE) is missing or short";
	double worst = 0;
	for (const EPoint &p : pts) {
		if (p.xl != 0 || p.yl != 0 || (p.set != huge_phase_set && std::fabs(p.x) >= 16))
			continue;
		dd re, im;
		int k;
		kerb::exp_mz2_careful(p.x, p.y, &re, &im, &k);
		/* The reference doubled, in units of 2^k: exact scalings. */
		double s = std::ldexp(2.0, -k);
		double hr = p.re * s, hi = p.im * s;
		double dr = (re.hi - hr) + re.lo - hr * static_cast<double>(p.re_lo);
		double di = (im.hi - hi) + im.lo - hi * static_cast<double>(p.im_lo);
		double mag = std::hypot(hr, hi);
		double e = std::hypot(dr, di) / mag;
		EXPECT_LE(e, 0x1p-68) << set_names[p.set] << ": exp(-z^2) at " << std::hexfloat
			<< p.x << ", " << p.y;
		worst = std::fmax(worst, e);
	}
	std::printf("exp_mz2_careful max %.3g of |exp(-z^2)|\n", worst);
}

} // namespace
