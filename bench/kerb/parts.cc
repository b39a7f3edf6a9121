/* SPDX-License-Identifier: ISC */
/*
 * kerb-parts: where the lower box's time goes in w_of_z_n, the two costly
 * steps of its path timed apart, per point, on the same uniform points of
 * |x| < 8, -6 < y < 0 as kerb-bench's lower box: exp(-z^2) by the tables
 * one point at a time (exp_mz2_small) and four to a group (lanes.h), and
 * the grid series of w(-z) one point at a time, its chains two to an AVX
 * register as the single call runs them (series in paths.h), and four
 * points to a group as the array calls run it.  Each figure is the least of
 * forty timings.  Built from the library's sources (the steps are not
 * exported), with the library's floating-point options and AVX2.
 */
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "internal.h"
#include "lanes.h"
#include "lanes_careful.h"
#include "paths.h"

using namespace kerb;

namespace {

volatile double sink;

double now()
{
	using namespace std::chrono;
	return duration<double, std::nano>(steady_clock::now().time_since_epoch()).count();
}

/* The least of forty timings of f over the points, in ns per point. */
template <class F> double least(size_t n, F f)
{
	double best = 1e300;
	for (int k = 0; k < 40; k++) {
		double t = now();
		for (int r = 0; r < 10; r++)
			f();
		best = std::min(best, (now() - t) / (10.0 * n));
	}
	return best;
}

} // namespace

int main()
{
	const size_t n = 4096;
	std::mt19937_64 gen(20261208);
	std::uniform_real_distribution<double> u(0, 1);
	std::vector<double> x(n), y(n), re(n), im(n);
	for (size_t i = 0; i < n; i++) {
		x[i] = 16 * u(gen) - 8;
		y[i] = -6 * u(gen);
	}
	double exp_one = least(n, [&] {
		for (size_t i = 0; i < n; i++)
			exp_mz2_small({x[i], 0}, {y[i], 0}, &re[i], &im[i]);
	});
	double exp_four = least(n, [&] {
		for (size_t i = 0; i < n; i += nlanes) {
			lanes r, s;
			exp_mz2_lanes<false>(load_lanes(&x[i]), splat(0), load_lanes(&y[i]), splat(0), &r, &s);
			store_lanes(&re[i], r);
			store_lanes(&im[i], s);
		}
	});
	double series_one = least(n, [&] {
		for (size_t i = 0; i < n; i++)
			series<false, true>(box_grid, {std::fabs(x[i]), 0}, {-y[i], 0}, &re[i], &im[i]);
	});
	/* As the array calls run it: every group located in one pass, the
	 * series in another. */
	std::vector<lanes> tr(n / nlanes), ti(n / nlanes);
	std::vector<const double *> cp(n);
	std::vector<int> most(n / nlanes), ng(n);
	double series_four = least(n, [&] {
		for (size_t i = 0; i < n; i += nlanes) {
			lanes ax = abs_lanes(load_lanes(&x[i]));
			uint32_t cell[nlanes];
			locate_four(box_grid, ax, splat(0), -load_lanes(&y[i]), splat(0), &tr[i / nlanes],
				&ti[i / nlanes], cell);
			most[i / nlanes] = cells_four(box_grid, cell, &cp[i], &ng[i]);
		}
		for (size_t i = 0; i < n; i += nlanes) {
			lanes p0r, p0i, sr, si;
			series_any(most[i / nlanes], &cp[i], tr[i / nlanes], ti[i / nlanes], &p0r, &p0i,
				&sr, &si);
			store_lanes(&re[i], p0r + sr);
			store_lanes(&im[i], p0i + si);
		}
	});
	/* The careful reflection, on the points of the lower box that take
	 * it (a part of w keeps less than reflection_keeps of the larger
	 * term: lower_box_t's test), one at a time and four to a group. */
	std::vector<double> cx, cy;
	for (size_t i = 0; cx.size() < 1024; i++) {
		double a = 16 * u(gen) - 8, b = -6 * u(gen), ax = std::fabs(a), r, er, ei, ur, ui;
		if (about_origin(ax, -b, &r) || near_zero(ax, b) >= 0)
			continue;
		exp_mz2_small({a, 0}, {b, 0}, &er, &ei);
		series<false, true>(box_grid, {ax, 0}, {-b, 0}, &ur, &ui);
		ui *= -std::copysign(1.0, a);
		double f = 1 + (grid_row(box_grid, -b) != 0);
		er *= f;
		ei *= f;
		if (cancels(er, ur, er - ur, reflection_keeps) || cancels(ei, ui, ei - ui, reflection_keeps)) {
			cx.push_back(a);
			cy.push_back(b);
		}
	}
	size_t nc = cx.size();
	double careful_one = least(nc, [&] {
		for (size_t i = 0; i < nc; i++)
			reflect_careful(cx[i], cy[i], &re[i], &im[i]);
	});
	double careful_four = least(nc, [&] {
		for (size_t i = 0; i < nc; i += nlanes) {
			lanes r, s;
			reflect_careful_lanes(load_lanes(&cx[i]), load_lanes(&cy[i]), &r, &s);
			store_lanes(&re[i], r);
			store_lanes(&im[i], s);
		}
	});
	sink = re[n / 2] + im[n / 3];
	std::printf("== parts of the lower box's path, ns per point (least of 40 timings)\n");
	std::printf("%-44s %7.1f\n", "exp(-z^2) by the tables, one point", exp_one);
	std::printf("%-44s %7.1f\n", "exp(-z^2) by the tables, four to a group", exp_four);
	std::printf("%-44s %7.1f\n", "grid series of w(-z), one point", series_one);
	std::printf("%-44s %7.1f\n", "grid series of w(-z), four to a group", series_four);
	std::printf("%-44s %7.1f\n", "careful reflection, one point", careful_one);
	std::printf("%-44s %7.1f\n", "careful reflection, four to a group", careful_four);
	return 0;
}
