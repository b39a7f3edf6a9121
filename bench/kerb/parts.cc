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
	double series_four = least(n, [&] {
		for (size_t i = 0; i < n; i += nlanes) {
			lanes ax = {std::fabs(x[i]), std::fabs(x[i + 1]), std::fabs(x[i + 2]),
				std::fabs(x[i + 3])};
			lanes tr, ti, p0r, p0i, sr, si;
			uint32_t cell[nlanes];
			const double *cp[nlanes];
			int ng[nlanes];
			locate_four(box_grid, ax, splat(0), -load_lanes(&y[i]), splat(0), &tr, &ti, cell);
			series_any(cells_four(box_grid, cell, cp, ng), cp, tr, ti, &p0r, &p0i, &sr, &si);
			store_lanes(&re[i], p0r + sr);
			store_lanes(&im[i], p0i + si);
		}
	});
	sink = re[n / 2] + im[n / 3];
	std::printf("== parts of the lower box's path, ns per point (least of 40 timings)\n");
	std::printf("%-44s %7.1f\n", "exp(-z^2) by the tables, one point", exp_one);
	std::printf("%-44s %7.1f\n", "exp(-z^2) by the tables, four to a group", exp_four);
	std::printf("%-44s %7.1f\n", "grid series of w(-z), one point", series_one);
	std::printf("%-44s %7.1f\n", "grid series of w(-z), four to a group", series_four);
	return 0;
}
