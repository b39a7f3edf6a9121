/*
 * kerb-bench: the cost of one w_of_z call against one std::exp of a
 * std::complex<double> on the same points, in the same run.
 *
 * Usage: kerb-bench W-TABLE.  Over the log-uniform random set of the
 * table, each point is timed alone (64 calls) and the medians of the
 * per-point costs are compared; then every point of the table is grouped
 * by the method w_of_z chose and each group timed as a whole.
 */
#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

#include "kerb.h"
#include "table.h"

namespace {

volatile double sink;

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

double time_w(const std::vector<WPoint> &pts, int reps)
{
	double t = now(), s = 0;
	for (int r = 0; r < reps; r++)
		for (const WPoint &p : pts) {
			double _Complex z;
			__real__ z = opaque(p.x);
			__imag__ z = opaque(p.y);
			double _Complex w = w_of_z(z);
			s += __real__ w;
		}
	sink = s;
	return (now() - t) / (double(reps) * pts.size());
}

double time_exp(const std::vector<WPoint> &pts, int reps)
{
	double t = now(), s = 0;
	for (int r = 0; r < reps; r++)
		for (const WPoint &p : pts)
			s += std::exp(std::complex<double>(opaque(p.x), opaque(p.y))).real();
	sink = s;
	return (now() - t) / (double(reps) * pts.size());
}

double median(std::vector<double> v)
{
	std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
	return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 2) {
		std::fprintf(stderr, "usage: kerb-bench W-TABLE\n");
		return 2;
	}
	FILE *f = std::fopen(argv[1], "rb");
	if (f == nullptr) {
		std::perror(argv[1]);
		return 1;
	}
	std::vector<WPoint> all, random;
	WPoint p;
	while (std::fread(&p, sizeof p, 1, f) == 1) {
		all.push_back(p);
		if (p.set == 0)
			random.push_back(p);
	}
	(void)std::fclose(f);

	/* Per-point medians over the random set (a sample of 5000). */
	std::vector<double> tw, te;
	for (size_t i = 0; i < random.size(); i += random.size() / 5000 + 1) {
		std::vector<WPoint> one(1, random[i]);
		tw.push_back(time_w(one, 64));
		te.push_back(time_exp(one, 64));
	}
	double mw = median(tw), me = median(te);
	std::printf("random set, per-point median: w_of_z %.1f ns, complex exp %.1f ns, ratio %.2f\n",
		mw, me, mw / me);
	double aw = time_w(random, 20), ae = time_exp(random, 20);
	std::printf("random set, mean:             w_of_z %.1f ns, complex exp %.1f ns, ratio %.2f\n",
		aw, ae, aw / ae);

	/* Per method, over every point of the table. */
	std::map<int, std::vector<WPoint>> by;
	for (const WPoint &q : all) {
		double _Complex z;
		__real__ z = q.x;
		__imag__ z = q.y;
		(void)w_of_z(z);
		by[faddeeva_algorithm].push_back(q);
	}
	std::printf("%9s %8s %12s %12s %7s\n", "method", "points", "w_of_z ns", "exp ns", "ratio");
	for (const auto &g : by) {
		int reps = std::max(1, 200000 / int(g.second.size()));
		double w = time_w(g.second, reps), e = time_exp(g.second, reps);
		std::printf("%9d %8zu %12.1f %12.1f %7.2f\n", g.first, g.second.size(), w, e, w / e);
	}
	return 0;
}
