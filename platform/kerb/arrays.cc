/* SPDX-License-Identifier: ISC */
/*
 * arrays.cc: w_of_z_n and voigt_n, w and the Voigt profile over arrays.
 *
 * Method.  Each point takes the single call's path (paths.h), inline in
 * one loop: w[i] is w_of_z(z[i]) and v[i] is voigt(x[i], sigma, gamma) to
 * the bit, for every input.  What the loop saves is the call and its
 * return through memory, the tests that depend on sigma and gamma alone
 * (voigt_n makes them, and forms 1 / (sigma sqrt 2), once), and, where
 * the processor has AVX2, half the instructions of the grid series'
 * chains, which then run two complex chains to a register.  Successive
 * points are independent, and the processor overlaps them.  On x86-64
 * the points go in blocks, and the steps that gain from running across
 * points run four points to a group, one to a vector lane (lanes.h, and
 * below): exp(-z^2) by the tables, the larger part of the lower box's
 * cost after the series, and voigt_n's grid series.
 *
 * The width is chosen at run time on x86-64: AVX2 where the processor and
 * the system support it, else the SSE2 of the baseline (which runs the
 * lanes' four doubles as two pairs).  The AVX2 loop is compiled without
 * FMA: a fused multiply-add rounds once where the single call rounds
 * twice, and the numbers would change.  Other targets have one loop.
 *
 * Every element is read before its result is written, so w may be z and
 * v may be x.  The counters are left by the last point, as by the single
 * call on it.
 */
#include <cmath>
#include <cstddef>

#include <complex.h>
#undef complex
#undef I

#include "kerb.h"
#include "internal.h"
#include "paths.h"
#if defined(__x86_64__)
#include "lanes.h"
#endif

namespace {

using namespace kerb;

template <bool wide>
[[gnu::always_inline]] inline void w_loop(size_t n, const double _Complex *z, double _Complex *w)
{
	for (size_t i = 0; i < n; i++) {
		double _Complex zi = z[i], wi;
		double re, im;
		w_point_t<wide>(__real__ zi, __imag__ zi, &re, &im);
		__real__ wi = re;
		__imag__ wi = im;
		w[i] = wi;
	}
}

#if defined(__x86_64__)
#define KERB_LANES 1
/* Four doubles pass only between inline functions here (lanes.h), whose
 * instances the compiler makes at the end of the file: the warning about
 * their passing without AVX is off to the end. */
#pragma GCC diagnostic ignored "-Wpsabi"

/*
 * Across points, in blocks.  Each point of a block whose single call
 * takes exp(-z^2) by the tables (exp_mz2_small), in the lower box's
 * reflection or on the grids' rows along the real axis, is queued; every
 * other point is evaluated at once by the single call's path (its input
 * is read first, so that w may be z).  The queued exponentials are then
 * computed four to a group (lanes.h), a group short of four filled with
 * copies of its first argument, whose results are dropped, and each
 * queued point finishes by the single call's path with its exponential:
 * the grid series, already at the machine's rate in its four chains, runs
 * as in the single call.  The counters are stored as the single calls
 * store them, and the last point's are put back at the end.
 */
constexpr size_t block = 128;

/* How a queued point goes: the grid series above the axis with exp(-z^2)
 * added, or the lower box's reflection. */
enum class way : unsigned char { grid_exp, lower };

struct queue {
	size_t n;
	size_t at[block];		/* the point's place in the array */
	way how[block];
	const grid *g[block];
	double x[block], y[block];	/* the point as given */
	double ex[block + nlanes], exl[block + nlanes], ey[block + nlanes], eyl[block + nlanes];
	double er[block + nlanes], ei[block + nlanes];
};

/* Queues point i, x + iy, and the argument of its exponential. */
[[gnu::always_inline]] inline void enqueue(queue *q, size_t i, way how, double x, double y,
	dd ex, dd ey)
{
	size_t k = q->n++;
	q->at[k] = i;
	q->how[k] = how;
	q->x[k] = x;
	q->y[k] = y;
	q->ex[k] = ex.hi;
	q->exl[k] = ex.lo;
	q->ey[k] = ey.hi;
	q->eyl[k] = ey.lo;
}

/* Whether the single call's upper_t takes the grid series for x, y >= 0
 * (*g the grid), and whether it adds exp(-z^2) by the tables on the real
 * axis's row (upper_t's and grid_taylor_t's choices). */
[[gnu::always_inline]] inline bool grid_path(dd x, dd y, const grid **g, bool *add)
{
	double r;
	region where = region_of(x.hi, y.hi);
	if (!(where == region::wing || (where == region::box && !about_origin(x.hi, y.hi, &r))))
		return false;
	*g = where == region::box ? &box_grid : &wing_grid;
	*add = grid_row(**g, y.hi) == 0 && (y.hi < 0x1p-1000
		|| (x.hi - y.hi) * (x.hi + y.hi) < 50 - 0.6931 * exponent_of(y.hi));
	return true;
}

/* The queued exponentials, four at a time. */
[[gnu::always_inline]] inline void run_exp(double *ex, double *exl, double *ey, double *eyl,
	size_t n, double *er, double *ei)
{
	for (size_t k = n; k % nlanes != 0; k++) {
		ex[k] = ex[0];
		exl[k] = exl[0];
		ey[k] = ey[0];
		eyl[k] = eyl[0];
	}
	for (size_t k = 0; k < n; k += nlanes) {
		lanes re, im;
		exp_mz2_lanes(load_lanes(ex + k), load_lanes(exl + k), load_lanes(ey + k),
			load_lanes(eyl + k), &re, &im);
		store_lanes(er + k, re);
		store_lanes(ei + k, im);
	}
}

/*
 * The lower box's reflection with exp(-z^2) given: lower_box_t's steps
 * after its exponential, the same operations in the same order (kerb-arrays
 * holds the two to the same bits).  A copy rather than one function both
 * call: with the single call going through it, the lower box measured 2 %
 * slower in bench/kerb (45.7 ns against 44.8), however it was passed.
 */
template <bool wide>
[[gnu::always_inline]] inline void lower_with(double x, double y, double er, double ei,
	double *re, double *im)
{
	double ax = std::fabs(x), ay = -y, ur, ui;
	faddeeva_nofterms = series<false, wide>(box_grid, {ax, 0}, {ay, 0}, &ur, &ui);
	faddeeva_algorithm = ALG_GRID + ALG_REFLECT;
	ui *= -std::copysign(1.0, x);
	double f = grid_row(box_grid, ay) == 0 ? 1 : 2;
	er *= f;
	ei *= f;
	*re = er - ur;
	*im = ei - ui;
	if ((int)cancels(er, ur, *re, reflection_keeps) |
	    (int)cancels(ei, ui, *im, reflection_keeps))
		reflect_careful(x, y, re, im);
}

template <bool wide>
[[gnu::always_inline]] inline void w_lanes(size_t n, const double _Complex *z,
	double _Complex *w)
{
	queue q;
	double *out = reinterpret_cast<double *>(w);
	int last_algorithm = -1, last_nofterms = 0;
	for (size_t at = 0; at < n; at += block) {
		size_t m = n - at < block ? n - at : block;
		q.n = 0;
		for (size_t i = at; i < at + m; i++) {
			double x = __real__ z[i], y = __imag__ z[i], ax = std::fabs(x), r;
			const grid *g;
			bool add;
			if (!(std::isfinite(x) && std::isfinite(y))) {
				/* below */
			} else if (y >= 0) {
				/* The grids' rows on the real axis end at 0.125
				 * and 0.25, and from y = 2^-40 up exp(-z^2) is
				 * added to them only where x^2 - y^2 < 77.7. */
				if (y <= 0.25 && (ax < 8.9 || y < 0x1p-40)
				    && grid_path({ax, 0}, {y, 0}, &g, &add) && add) {
					q.g[q.n] = g;
					enqueue(&q, i, way::grid_exp, x, y, {ax, 0}, {y, 0});
					continue;
				}
			} else if (region_of(ax, -y) == region::box && !about_origin(ax, -y, &r)
				   && near_zero(ax, y) < 0) {
				enqueue(&q, i, way::lower, x, y, {x, 0}, {y, 0});
				continue;
			}
			w_point_t<wide>(x, y, &out[2 * i], &out[2 * i + 1]);
			if (i == n - 1) {
				last_algorithm = faddeeva_algorithm;
				last_nofterms = faddeeva_nofterms;
			}
		}
		run_exp(q.ex, q.exl, q.ey, q.eyl, q.n, q.er, q.ei);
		for (size_t k = 0; k < q.n; k++) {
			double x = q.x[k], y = q.y[k];
			double *re = &out[2 * q.at[k]], *im = re + 1;
			if (q.how[k] == way::grid_exp) {
				faddeeva_nofterms = series<true, wide>(*q.g[k], {std::fabs(x), 0}, {y, 0},
					re, im, q.er[k], q.ei[k]);
				faddeeva_algorithm = ALG_GRID;
				*im = flip_by(*im, x);
			} else {
				lower_with<wide>(x, y, q.er[k], q.ei[k], re, im);
			}
		}
	}
	if (last_algorithm >= 0) {
		faddeeva_algorithm = last_algorithm;
		faddeeva_nofterms = last_nofterms;
	}
}

/* The counters as the single call on a lane's point leaves them. */
struct last_lane {
	bool set;
	int nofterms;
};

/*
 * voigt_n's common case across points: along the line of x neighbours
 * share a cell of the grids, and the grid series runs four points to a
 * group (lanes.h), the exponential on the real axis's row too; every
 * other x goes through profile_t, after the block's groups.
 */
template <bool wide>
[[gnu::always_inline]] inline void voigt_lanes(size_t n, const double *x, double gamma,
	const width &sw, double reach, double *v)
{
	double xs[block];
	const grid *gs[block];
	dd zxs[block];
	bool adds[block];
	size_t on[block + nlanes], other[block];
	last_lane last = {false, 0};
	dd zy = times_r(gamma, sw.rh, sw.rl);
	for (size_t at = 0; at < n; at += block) {
		size_t m = n - at < block ? n - at : block, non = 0, nother = 0;
		for (size_t i = 0; i < m; i++) {
			double ax = std::fabs(xs[i] = x[at + i]);
			if (common_x(ax, reach)) {
				dd zx = zxs[i] = times_r(ax, sw.rh, sw.rl);
				if (!(zx.hi > 26 && zy.hi < 0x1p-950)
				    && grid_path(zx, zy, &gs[i], &adds[i])) {
					on[non++] = i;
					continue;
				}
			}
			other[nother++] = i;
		}
		for (size_t k = non; k % nlanes != 0; k++)
			on[k] = on[0];
		for (size_t k = 0; k < non; k += nlanes) {
			lane_cells c;
			lanes ex, exl, ey = splat(zy.hi), eyl = splat(zy.lo), er = splat(0), ei = er;
			lane_mask add;
			bool any = false;
			for (int l = 0; l < nlanes; l++) {
				size_t i = on[k + l];
				locate_lane(&c, l, *gs[i], zxs[i], zy);
				ex[l] = zxs[i].hi;
				exl[l] = zxs[i].lo;
				add[l] = adds[i] ? -1 : 0;
				any |= adds[i];
			}
			if (any)
				exp_mz2_lanes(ex, exl, ey, eyl, &er, &ei);
			lanes re, im;
			series_lanes(c, add, er, ei, &re, &im);
			lanes p = sw.f.hi * re + sw.f.lo * re;
			for (size_t l = 0; l < nlanes && k + l < non; l++) {
				v[at + on[k + l]] = p[l];
				if (at + on[k + l] == n - 1)
					last = {true, 4 * c.ng[l]};
			}
		}
		for (size_t k = 0; k < nother; k++) {
			size_t i = other[k];
			double ax = std::fabs(xs[i]);
			v[at + i] = common_x(ax, reach) ? profile_t<wide>(ax, gamma, sw)
				: voigt_point(xs[i], sw.sigma, gamma);
		}
	}
	if (last.set) {
		faddeeva_algorithm = ALG_GRID;
		faddeeva_nofterms = last.nofterms;
	}
}
#endif

/*
 * The profile over x for one sigma and gamma.  Where the pair is inside
 * the single call's common case, each point that is too (|x| within 2^27
 * sigma and 2^300) takes its path directly; the rest, and every point of
 * a pair outside it, are the single call's.
 */
template <bool wide>
[[gnu::always_inline]] inline void voigt_loop(size_t n, const double *x, double sigma,
	double gamma, double *v)
{
	double reach = lorentz_reach * sigma;
	if (!common_widths(sigma, gamma, reach)) {
		for (size_t i = 0; i < n; i++)
			v[i] = voigt_point(x[i], sigma, gamma);
		return;
	}
	const width s = width_of(sigma);
#ifdef KERB_LANES
	voigt_lanes<wide>(n, x, gamma, s, reach, v);
#else
	for (size_t i = 0; i < n; i++) {
		double xi = x[i], ax = std::fabs(xi);
		v[i] = common_x(ax, reach) ? profile_t<wide>(ax, gamma, s)
			: voigt_point(xi, sigma, gamma);
	}
#endif
}

void w_base(size_t n, const double _Complex *z, double _Complex *w)
{
#ifdef KERB_LANES
	w_lanes<false>(n, z, w);
#else
	w_loop<false>(n, z, w);
#endif
}

void voigt_base(size_t n, const double *x, double sigma, double gamma, double *v)
{
	voigt_loop<false>(n, x, sigma, gamma, v);
}

#if defined(__x86_64__)
#define KERB_DISPATCH 1

[[gnu::target("avx2")]] void w_avx2(size_t n, const double _Complex *z, double _Complex *w)
{
	w_lanes<true>(n, z, w);
}

[[gnu::target("avx2")]] void voigt_avx2(size_t n, const double *x, double sigma, double gamma,
	double *v)
{
	voigt_loop<true>(n, x, sigma, gamma, v);
}

/* Asked once; libgcc's test covers the system's saving of the AVX
 * registers as well as the processor. */
bool have_avx2()
{
	static const bool yes = [] {
		__builtin_cpu_init();
		return __builtin_cpu_supports("avx2") != 0;
	}();
	return yes;
}
#endif

} // namespace

extern "C" void w_of_z_n(size_t n, const double _Complex z[], double _Complex w[])
{
#ifdef KERB_DISPATCH
	if (have_avx2()) {
		w_avx2(n, z, w);
		return;
	}
#endif
	w_base(n, z, w);
}

extern "C" void voigt_n(size_t n, const double x[], double sigma, double gamma, double v[])
{
#ifdef KERB_DISPATCH
	if (have_avx2()) {
		voigt_avx2(n, x, sigma, gamma, v);
		return;
	}
#endif
	voigt_base(n, x, sigma, gamma, v);
}
