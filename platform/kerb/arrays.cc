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
 * points are independent, and the processor overlaps them.
 *
 * The width is chosen at run time on x86-64: AVX2 where the processor and
 * the system support it, else the SSE2 of the baseline.  The AVX2 loop is
 * compiled without FMA: a fused multiply-add rounds once where the single
 * call rounds twice, and the numbers would change.  Other targets have
 * one loop.
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
 * Across points, in blocks.  A first pass sorts the block's points by
 * path and gathers the arguments of every exp(-z^2) that the single calls
 * would take by the tables (exp_mz2_small): the lower box's, and the grid
 * series' on the real axis's row.  Those are computed four to a group
 * (lanes.h); a group short of four is filled with copies of its first
 * argument, whose results are dropped.  A second pass takes the points in
 * order, each by the single call's path with its exponential, if it has
 * one, from the first pass: the grid series, already at the machine's
 * rate in its four chains, runs as in the single call.  The counters are
 * stored as the single call stores them.  A block's inputs are read
 * before any of its results is written, so that w may be z.
 */
constexpr size_t block = 128;

/* How a point of a block goes: by the single call's path, the grid
 * series above the axis with exp(-z^2) from the lanes, or the lower box's
 * reflection with it. */
enum class way : unsigned char { single, grid_exp, lower };

struct sorted {
	way how[block];
	unsigned short e[block];	/* its exponential's place */
	double ex[block + nlanes], exl[block + nlanes], ey[block + nlanes], eyl[block + nlanes];
	double er[block + nlanes], ei[block + nlanes];
	size_t ne;
};

/* Queues exp(-(x + iy)^2) for point i. */
[[gnu::always_inline]] inline void queue_exp(sorted *s, size_t i, dd x, dd y)
{
	s->e[i] = static_cast<unsigned short>(s->ne);
	s->ex[s->ne] = x.hi;
	s->exl[s->ne] = x.lo;
	s->ey[s->ne] = y.hi;
	s->eyl[s->ne] = y.lo;
	s->ne++;
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
[[gnu::always_inline]] inline void run_exp(sorted *s)
{
	for (size_t k = s->ne; k % nlanes != 0; k++) {
		s->ex[k] = s->ex[0];
		s->exl[k] = s->exl[0];
		s->ey[k] = s->ey[0];
		s->eyl[k] = s->eyl[0];
	}
	for (size_t k = 0; k < s->ne; k += nlanes) {
		lanes re, im;
		exp_mz2_lanes(load_lanes(s->ex + k), load_lanes(s->exl + k), load_lanes(s->ey + k),
			load_lanes(s->eyl + k), &re, &im);
		store_lanes(s->er + k, re);
		store_lanes(s->ei + k, im);
	}
}

/* The lower box's reflection with exp(-z^2) given (lower_box_t's steps
 * after its exponential). */
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
	double xs[block], ys[block];
	const grid *gs[block];
	sorted s;
	for (size_t at = 0; at < n; at += block) {
		size_t m = n - at < block ? n - at : block;
		s.ne = 0;
		for (size_t i = 0; i < m; i++) {
			double x = xs[i] = __real__ z[at + i], y = ys[i] = __imag__ z[at + i];
			double ax = std::fabs(x), r;
			s.how[i] = way::single;
			if (!(std::isfinite(x) && std::isfinite(y)))
				continue;
			if (y >= 0) {
				/* The grids' rows on the real axis end at 0.125
				 * and 0.25, and from y = 2^-40 up exp(-z^2) is
				 * added to them only where x^2 - y^2 < 77.7. */
				bool add;
				if (y <= 0.25 && (ax < 8.9 || y < 0x1p-40)
				    && grid_path({ax, 0}, {y, 0}, &gs[i], &add) && add) {
					s.how[i] = way::grid_exp;
					queue_exp(&s, i, {ax, 0}, {y, 0});
				}
			} else if (region_of(ax, -y) == region::box && !about_origin(ax, -y, &r)
				   && near_zero(ax, y) < 0) {
				s.how[i] = way::lower;
				queue_exp(&s, i, {x, 0}, {y, 0});
			}
		}
		run_exp(&s);
		double *out = reinterpret_cast<double *>(w + at);
		for (size_t i = 0; i < m; i++) {
			double *re = &out[2 * i], *im = &out[2 * i + 1];
			switch (s.how[i]) {
			case way::single:
				w_point_t<wide>(xs[i], ys[i], re, im);
				break;
			case way::grid_exp:
				faddeeva_nofterms = series<true, wide>(*gs[i], {std::fabs(xs[i]), 0},
					{ys[i], 0}, re, im, s.er[s.e[i]], s.ei[s.e[i]]);
				faddeeva_algorithm = ALG_GRID;
				*im = flip_by(*im, xs[i]);
				break;
			case way::lower:
				lower_with<wide>(xs[i], ys[i], s.er[s.e[i]], s.ei[s.e[i]], re, im);
				break;
			}
		}
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
