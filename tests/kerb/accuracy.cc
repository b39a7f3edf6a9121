/* SPDX-License-Identifier: ISC */
/*
 * The accuracy of w_of_z and voigt against the 50-digit tables that
 * mktables writes: every point measured, the bounds of w_of_z(3) and
 * voigt(3) checked, and the figures printed.
 *
 * Environment (set by meson): KERB_W_TABLE and KERB_VOIGT_TABLE name the
 * tables; KERB_ERRORS=FILE writes "x y error" for each checked point of w, for
 * the plotting script.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <vector>

#include "kerb.h"
#include "table.h"

namespace {

const char *const set_names[] = {"random", "realaxis-far", "one-plus-i",
	"boundary", "real-axis", "imag-axis", "overflow-edge",
	"lower-moderate", "subnormal", "diagonal", "moderate", "switches",
	"part-zero", "upper-box", "lower-box", "line-wings", "zero-disc",
	"careful-edge", "subnormal-x", "tiny-x", "taylor-radii", "found"};
constexpr unsigned nsets = sizeof set_names / sizeof set_names[0];

/* Relative error of one part against hi (1 + lo). */
double rel(double got, double hi, float lo)
{
	if (got == hi && (std::isinf(hi) || hi == 0))
		return 0;
	return std::fabs((got - hi) - hi * lo) / std::fabs(hi);
}

double median(std::vector<double> v)
{
	if (v.empty())
		return 0;
	auto mid = v.begin() + v.size() / 2;
	std::nth_element(v.begin(), mid, v.end());
	return *mid;
}

/* |2 exp(-z^2)| / |v| for a part v of w in the lower half-plane: how far
 * the reflection w(z) = 2 exp(-z^2) - w(-z) cancels in that part. */
double cancel_factor(const WPoint &p, double v)
{
	double ax = std::fabs(p.x), ay = std::fabs(p.y);
	return 2 * std::exp((ay - ax) * (ay + ax)) / std::fabs(v);
}

struct Measured {
	/* part: each part against itself where it is checked; axis: Im w on
	 * the real axis and Re w on the imaginary axis; cancelling: checked
	 * parts where the reflection cancels a hundredfold or more. */
	std::vector<double> norm, part[2], axis[2];
	/* Im w from the series about 0, however small: it is odd in x. */
	std::vector<double> origin_im;
	size_t tiny_im = 0;
	std::vector<double> by_set[nsets];
	double worst = 0, worst_x = 0, worst_y = 0;
	size_t cancelling = 0;
	/* The worst part by method code (faddeeva_algorithm), and where. */
	struct Worst {
		double e = 0, x = 0, y = 0;
		int part = 0;
		size_t n = 0;
	};
	std::map<int, Worst> by_code;
};

/* Bounds, relative: norm-wise, per part, on the axes, the median, and Im w
 * about the origin (one ulp of itself, however small, while its error
 * terms stay normal: from 2^-969). */
constexpr double norm_bound = 5e-16, part_bound = 3e-15, axis_bound = 1e-15,
	median_bound = 2e-16, origin_bound = 0x1p-52;

TEST(WOfZTable, MeetsTheBounds)
{
	std::vector<WPoint> table = load_records<WPoint>({"KERB_W_TABLE", "KERB_BOX_TABLE",
		"KERB_HOSTILE_TABLE"});
	ASSERT_GT(table.size(), 136000u) << "no tables in KERB_W_TABLE, KERB_BOX_TABLE and KERB_HOSTILE_TABLE";
	FILE *dump = nullptr;
	if (const char *path = std::getenv("KERB_ERRORS"))
		dump = std::fopen(path, "w");
	Measured m;
	size_t checked = 0, failures = 0;
	for (size_t i = 0; i < table.size(); i++) {
		const WPoint &p = table[i];
		checked++;
		double _Complex z;
		__real__ z = p.x;
		__imag__ z = p.y;
		double _Complex w = w_of_z(z);
		int code = faddeeva_algorithm;
		double re = __real__ w, im = __imag__ w;
		bool ok = !std::isnan(re) && !std::isnan(im);
		double wnorm = std::hypot(p.re, p.im);
		double e = 0;
		if (std::isinf(p.re) || std::isinf(p.im)) {
			/* Overflow: the same infinities, the finite part close. */
			ok = ok && (std::isinf(p.re) ? re == p.re : std::isfinite(re))
				&& (std::isinf(p.im) ? im == p.im : std::isfinite(im));
		} else if (wnorm >= 0x1p-969) {
			e = std::hypot((re - p.re) - p.re * p.re_lo, (im - p.im) - p.im * p.im_lo) / wnorm;
			ok = ok && e <= norm_bound;
			const double ref[2] = {p.re, p.im}, got[2] = {re, im};
			const float lo[2] = {p.re_lo, p.im_lo};
			if (code == 1 && std::fabs(p.im) >= 0x1p-969) {
				double ei = rel(im, p.im, p.im_lo);
				m.origin_im.push_back(ei);
				m.tiny_im += std::fabs(p.im) < 1e-3 * wnorm;
				ok = ok && ei <= origin_bound;
			}
			for (int k = 0; k < 2; k++) {
				if (std::fabs(ref[k]) < DBL_MIN || std::fabs(ref[k]) < 1e-3 * wnorm)
					continue;
				double ek = rel(got[k], ref[k], lo[k]);
				m.part[k].push_back(ek);
				Measured::Worst &wc = m.by_code[code];
				wc.n++;
				if (ek > wc.e)
					wc = {ek, p.x, p.y, k, wc.n};
				if (p.y < 0 && cancel_factor(p, ref[k]) >= 100)
					m.cancelling++;
				bool axis = (k == 1 && p.y == 0) || (k == 0 && p.x == 0);
				if (axis)
					m.axis[k].push_back(ek);
				ok = ok && ek <= (axis ? axis_bound : part_bound);
			}
			m.norm.push_back(e);
			m.by_set[p.set < nsets ? p.set : 0].push_back(e);
			if (e > m.worst) {
				m.worst = e;
				m.worst_x = p.x;
				m.worst_y = p.y;
			}
		}
		if (dump)
			std::fprintf(dump, "%a %a %a %d\n", p.x, p.y, e, p.set);
		if (!ok && failures++ < 20)
			ADD_FAILURE() << std::hexfloat << "z = " << p.x << " + " << p.y
				<< "i: got " << re << " + " << im << "i, want "
				<< p.re << " + " << p.im << "i" << std::defaultfloat
				<< " (error " << e << ")";
	}
	if (dump)
		(void)std::fclose(dump);
	EXPECT_EQ(failures, 0u);
	/* The table must reach the curves where a part of w vanishes and the
	 * reflection cancels, or the part bound above proves little there. */
	EXPECT_GE(m.cancelling, 1000u);
	double med = median(m.norm);
	EXPECT_LE(med, median_bound);
	auto mx = [](const std::vector<double> &v) {
		return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
	};
	std::printf("w: %zu points; norm-wise max %.3g (at %a%+ai) median %.3g\n",
		checked, m.worst, m.worst_x, m.worst_y, med);
	std::printf("  parts (%zu Re, %zu Im, %zu where the reflection cancels 100-fold): "
		"Re max %.3g median %.3g, Im max %.3g median %.3g\n",
		m.part[0].size(), m.part[1].size(), m.cancelling, mx(m.part[0]),
		median(m.part[0]), mx(m.part[1]), median(m.part[1]));
	std::printf("  axes: Dawson (Im w, y = 0) max %.3g, erfcx (Re w, x = 0) max %.3g\n",
		mx(m.axis[1]), mx(m.axis[0]));
	std::printf("  Im w from the series about 0, %zu points, however small: max %.3g\n",
		m.origin_im.size(), mx(m.origin_im));
	/* The tables must reach Im w far below |w| there, where the bound on
	 * parts above does not look. */
	EXPECT_GE(m.tiny_im, 1000u);
	std::printf("  parts by method code:\n");
	for (const auto &c : m.by_code)
		std::printf("  code %2d %7zu parts  max %.3g (%s at %a%+ai)\n", c.first, c.second.n,
			c.second.e, c.second.part ? "Im" : "Re", c.second.x, c.second.y);
	std::printf("  by set, norm-wise:\n");
	for (unsigned s = 0; s < nsets; s++)
		std::printf("  %-15s %6zu points  max %.3g  median %.3g\n", set_names[s],
			m.by_set[s].size(), mx(m.by_set[s]), median(m.by_set[s]));
}

constexpr double voigt_bound = 1e-15;
constexpr uint32_t line_grid = 5;	/* the set of the line grid's points */

TEST(VoigtTable, MeetsTheBound)
{
	std::vector<VPoint> table = load_records<VPoint>({"KERB_VOIGT_TABLE", "KERB_LINE_TABLE"});
	ASSERT_GT(table.size(), 26000u) << "no tables in KERB_VOIGT_TABLE and KERB_LINE_TABLE";
	std::vector<double> err, line;
	size_t failures = 0;
	for (const VPoint &p : table) {
		double v = voigt(p.x, p.sigma, p.gamma);
		bool ok = !std::isnan(v);
		double e = 0;
		if (std::fabs(p.v) >= DBL_MIN && std::isfinite(p.v)) {
			e = rel(v, p.v, p.v_lo);
			err.push_back(e);
			if (p.set == line_grid)
				line.push_back(e);
			ok = ok && e <= voigt_bound;
		} else {
			ok = ok && (std::isinf(p.v) ? v == p.v : std::fabs(v) < 2 * DBL_MIN);
		}
		if (!ok && failures++ < 20)
			ADD_FAILURE() << std::hexfloat << "voigt(" << p.x << ", " << p.sigma
				<< ", " << p.gamma << ") = " << v << ", want " << p.v
				<< std::defaultfloat << " (error " << e << ")";
	}
	EXPECT_EQ(failures, 0u);
	auto mx = [](const std::vector<double> &v) {
		return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
	};
	EXPECT_EQ(line.size(), 8004u) << "the line grid is missing";
	std::printf("voigt: %zu points; max %.3g median %.3g; line grid max %.3g median %.3g\n",
		table.size(), mx(err), median(err), mx(line), median(line));
}

} // namespace
