/* SPDX-License-Identifier: ISC */
/*
 * arrays.cc: w_of_z_n and voigt_n, w and the Voigt profile over arrays.
 *
 * Method.  Each point takes the single call's path (paths.h): w[i] is
 * w_of_z(z[i]) and v[i] is voigt(x[i], sigma, gamma) to the bit, for every
 * input.  Other targets than x86-64 run the single call's path inline in
 * one loop, which saves the call and, for voigt_n, the steps that depend
 * on sigma and gamma alone (made once).  On x86-64 the points go in blocks
 * of 128, in two passes over each.  The first finds every four points in
 * a row that take one path, the grid series in one grid (above the axis,
 * or for w(-z) in the lower box's reflection), and locates them; every
 * other point whose single call sums the grid series is queued, and the
 * rest are evaluated at once.  The second evaluates the groups four
 * points side by side, one to a vector lane (lanes.h): exp(-z^2) where
 * the single call takes it by the tables, the series, and the single
 * call's steps after them, lane by lane, with the careful reflection
 * where a lane's subtraction cancels; then the queue, the same steps four
 * to a group in its order.  Between the passes each group's coefficients
 * are known, and their loads do not wait on the locating; within the
 * second, the exponentials are a loop of their own, whose groups do not
 * wait on each other.
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
#include "lanes_w.h"
#include "lanes_voigt.h"
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
