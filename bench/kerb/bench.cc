/* SPDX-License-Identifier: ISC */
/*
 * kerb-bench: the mean cost of w_of_z and voigt against std::exp of a
 * std::complex<double> on the same points, in the same run, per region
 * where users evaluate w:
 *
 *   upper box    |x| < 8, 0 <= y < 8, uniform
 *   lower box    |x| < 8, -6 < y < 0, uniform
 *   line wings   8 <= |x| <= 40, y log-uniform in [1e-6, 10]
 *   line grid    voigt(x, 1, gamma), x = -50 .. 50 by 0.05, one row per
 *                gamma in {0.001, 0.1, 1, 10}; the exponential is taken
 *                of the argument of w, (x + i gamma) / sqrt 2
 *
 * then w_of_z_n and voigt_n on the same points, against the exponential
 * and against the loop of single calls,
 * and per method code (faddeeva_algorithm) over the points of all three
 * boxes, with each code's share of each box.  Each figure is the least
 * of fifteen timings, w and exp alternating, so that a busy machine
 * shifts both alike.
 *
 * Usage: kerb-bench [POINTS]   (points per box, 5000 by default)
 */
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kerb.h"

namespace {

volatile double sink;

struct Point {
	double x, y;
};

/* Read through a volatile so that neither call is hoisted out of a
 * repetition loop (std::exp is pure and the compiler knows it). */
inline double opaque(const double &v)
{
	const volatile double *p = &v;
	return *p;
}

double now()
{
	using namespace std::chrono;
	return duration<double, std::nano>(steady_clock::now().time_since_epoch()).count();
}

double time_w(const std::vector<Point> &pts, int reps)
{
	double t = now(), s = 0;
	for (int r = 0; r < reps; r++)
		for (const Point &p : pts) {
			double _Complex z;
			__real__ z = opaque(p.x);
			__imag__ z = opaque(p.y);
			double _Complex w = w_of_z(z);
			s += __real__ w;
		}
	sink = s;
	return (now() - t) / (double(reps) * pts.size());
}

double time_exp(const std::vector<Point> &pts, int reps)
{
	double t = now(), s = 0;
	for (int r = 0; r < reps; r++)
		for (const Point &p : pts)
			s += std::exp(std::complex<double>(opaque(p.x), opaque(p.y))).real();
	sink = s;
	return (now() - t) / (double(reps) * pts.size());
}

/* w_of_z_n over the points, into a second array. */
double time_w_n(const std::vector<Point> &pts, int reps)
{
	std::vector<std::complex<double>> z(pts.size()), w(pts.size());
	for (size_t i = 0; i < pts.size(); i++)
		z[i] = {pts[i].x, pts[i].y};
	double t = now(), s = 0;
	for (int r = 0; r < reps; r++) {
		w_of_z_n(z.size(), z.data(), w.data());
		s += w[r % w.size()].real();
	}
	sink = s;
	return (now() - t) / (double(reps) * pts.size());
}

/* voigt_n(x, 1, gamma) for a row of points (x, gamma), one gamma. */
double time_voigt_n(const std::vector<Point> &pts, int reps)
{
	std::vector<double> x(pts.size()), v(pts.size());
	for (size_t i = 0; i < pts.size(); i++)
		x[i] = pts[i].x;
	double t = now(), s = 0;
	for (int r = 0; r < reps; r++) {
		voigt_n(x.size(), x.data(), 1.0, opaque(pts[0].y), v.data());
		s += v[r % v.size()];
	}
	sink = s;
	return (now() - t) / (double(reps) * pts.size());
}

/* voigt(x, 1, gamma) for the points (x, gamma). */
double time_voigt(const std::vector<Point> &pts, int reps)
{
	double t = now(), s = 0;
	for (int r = 0; r < reps; r++)
		for (const Point &p : pts)
			s += voigt(opaque(p.x), 1.0, opaque(p.y));
	sink = s;
	return (now() - t) / (double(reps) * pts.size());
}

struct Cost {
	double f, e, a;	/* ns per point: the function, the exponential, the array call */
};

/* The least of fifteen alternating timings of about 2e4 calls each: on a
 * shared machine a timing only ever grows, by what others take.  With an
 * array function, it is timed in the same rounds. */
Cost measure(const std::vector<Point> &pts, const std::vector<Point> &exp_pts,
	double (*f)(const std::vector<Point> &, int),
	double (*a)(const std::vector<Point> &, int) = nullptr)
{
	int reps = std::max(1, 20000 / int(pts.size()));
	double fs = 1e300, es = 1e300, as = 1e300;
	for (int k = 0; k < 15; k++) {
		fs = std::min(fs, f(pts, reps));
		es = std::min(es, time_exp(exp_pts, reps));
		if (a)
			as = std::min(as, a(pts, reps));
	}
	return {fs, es, a ? as : 0};
}

struct Region {
	std::string name;
	std::vector<Point> pts;
	double target;
};

void row(const char *name, size_t n, Cost c, double target)
{
	std::printf("%-34s %7zu %9.1f %9.1f %7.2f %7.1f\n", name, n, c.f, c.e, c.f / c.e, target);
}

/* The array call against the exponential and against the single calls. */
void array_row(const char *name, size_t n, Cost c, double target)
{
	std::printf("%-34s %7zu %9.1f %9.1f %7.2f %7.1f %9.2f\n", name, n, c.a, c.e, c.a / c.e,
		target, c.a / c.f);
}

} // namespace

int main(int argc, char **argv)
{
	int n = argc > 1 ? std::atoi(argv[1]) : 5000;
	if (argc > 2 || n < 100) {
		std::fprintf(stderr, "usage: kerb-bench [POINTS]\n");
		return 2;
	}
	std::mt19937_64 gen(20261208);
	std::uniform_real_distribution<double> u01(0, 1);
	std::vector<Region> boxes = {
		{"upper box |x|<8, 0<=y<8", {}, 1.5},
		{"lower box |x|<8, -6<y<0", {}, 2.5},
		{"line wings 8<=|x|<=40, 1e-6<=y<=10", {}, 2.0},
	};
	for (int i = 0; i < n; i++) {
		boxes[0].pts.push_back({16 * u01(gen) - 8, 8 * u01(gen)});
		boxes[1].pts.push_back({16 * u01(gen) - 8, -6 * u01(gen)});
		double x = 8 + 32 * u01(gen);
		boxes[2].pts.push_back({u01(gen) < 0.5 ? -x : x, std::pow(10.0, -6 + 7 * u01(gen))});
	}

	std::printf("== regions: mean ns per call, the same points, one run\n");
	std::printf("%-34s %7s %9s %9s %7s %7s\n", "region", "points", "w_of_z", "exp", "ratio", "target");
	double worst = 0;
	std::string worst_name;
	auto note = [&](const std::string &name, Cost c, double target) {
		double q = c.f / c.e / target;
		if (q > worst) {
			worst = q;
			worst_name = name;
		}
	};
	for (const Region &r : boxes) {
		Cost c = measure(r.pts, r.pts, time_w);
		row(r.name.c_str(), r.pts.size(), c, r.target);
		note(r.name, c, r.target);
	}
	const double gammas[] = {0.001, 0.1, 1, 10};
	for (double g : gammas) {
		std::vector<Point> line, args;
		for (int k = -1000; k <= 1000; k++) {
			line.push_back({0.05 * k, g});
			args.push_back({0.05 * k / std::sqrt(2.0), g / std::sqrt(2.0)});
		}
		char name[64];
		std::snprintf(name, sizeof name, "voigt line grid, gamma %g", g);
		Cost c = measure(line, args, time_voigt);
		row(name, line.size(), c, 3.0);
		note(name, c, 3.0);
	}
	std::printf("worst against its target: %s (%.2f of the target ratio)\n",
		worst_name.c_str(), worst);

	/* The array calls: the same points, and the loop of single calls
	 * measured again in the same rounds. */
	std::printf("\n== arrays: w_of_z_n and voigt_n, mean ns per point, one run\n");
	std::printf("%-34s %7s %9s %9s %7s %7s %9s\n", "region", "points", "array", "exp", "ratio",
		"target", "/single");
	const double array_targets[] = {0.6, 1.2, 0.8};
	worst = 0;
	for (size_t b = 0; b < boxes.size(); b++) {
		const Region &r = boxes[b];
		Cost c = measure(r.pts, r.pts, time_w, time_w_n);
		array_row(r.name.c_str(), r.pts.size(), c, array_targets[b]);
		note(r.name, {c.a, c.e, 0}, array_targets[b]);
	}
	for (double g : gammas) {
		std::vector<Point> line, args;
		for (int k = -1000; k <= 1000; k++) {
			line.push_back({0.05 * k, g});
			args.push_back({0.05 * k / std::sqrt(2.0), g / std::sqrt(2.0)});
		}
		char name[64];
		std::snprintf(name, sizeof name, "voigt_n line grid, gamma %g", g);
		Cost c = measure(line, args, time_voigt, time_voigt_n);
		array_row(name, line.size(), c, 0.8);
		note(name, {c.a, c.e, 0}, 0.8);
	}
	std::printf("worst against its target: %s (%.2f of the target ratio)\n",
		worst_name.c_str(), worst);

	/* Per method code, over the points of all three boxes. */
	std::map<int, std::vector<Point>> by;
	std::map<int, std::vector<size_t>> share;
	for (size_t b = 0; b < boxes.size(); b++)
		for (const Point &p : boxes[b].pts) {
			double _Complex z;
			__real__ z = p.x;
			__imag__ z = p.y;
			(void)w_of_z(z);
			by[faddeeva_algorithm].push_back(p);
			share[faddeeva_algorithm].resize(boxes.size());
			share[faddeeva_algorithm][b]++;
		}
	std::printf("\n== per method code over the three boxes (share of each box in %%)\n");
	std::printf("%6s %8s %9s %9s %7s %8s %8s %8s\n", "code", "points", "w_of_z", "exp", "ratio",
		"upper", "lower", "wings");
	for (const auto &g : by) {
		Cost c = measure(g.second, g.second, time_w);
		std::printf("%6d %8zu %9.1f %9.1f %7.2f", g.first, g.second.size(), c.f, c.e, c.f / c.e);
		for (size_t b = 0; b < boxes.size(); b++)
			std::printf(" %8.3f", 100.0 * share[g.first][b] / boxes[b].pts.size());
		std::printf("\n");
	}
	return 0;
}
