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
#include "lanes.h"
#include "lanes_careful.h"
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
 * The queue: the points of a block outside the groups whose single call
 * sums the grid series.  Each point's series goes into its grid's batch,
 * and its exp(-z^2), where the single call takes that by the tables (on
 * the grids' rows along the real axis, and in the reflection), into the
 * block's exponentials; both are then computed four to a group (lanes.h),
 * a group short of four filled with copies of its first argument, whose
 * results are dropped, and each point finishes, in the order of the
 * array, by the single call's steps after its series.
 */
constexpr size_t block = batch_max;

/* How a queued point goes: the grid series above the axis, with
 * exp(-z^2) added or not, or the lower box's reflection. */
enum way : uint32_t { series_only, series_exp, reflected };

/* A queued point in one word, one store: its place in the block, in its
 * grid's batch and among the exponentials, the grid and its way. */
constexpr uint32_t entry(size_t i, size_t slot, size_t e, bool wing, way how)
{
	return static_cast<uint32_t>(i | slot << 8 | e << 16 | size_t(wing) << 24 | size_t(how) << 25);
}
static_assert(block <= 256, "a place in the block is a byte");

struct queue {
	size_t n;
	uint32_t entries[block];
	size_t ne;
	double ex[block + nlanes], exl[block + nlanes], ey[block + nlanes], eyl[block + nlanes];
	double er[block + nlanes], ei[block + nlanes];
	grid_batch box, wings;
};

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

/* The queued exponentials, four at a time; the arguments' tails only
 * if `tails' (else zero). */
template <bool tails>
[[gnu::always_inline]] inline void run_exp(queue *q)
{
	size_t n = q->ne;
	for (size_t k = n; k % nlanes != 0; k++) {
		q->ex[k] = q->ex[0];
		q->ey[k] = q->ey[0];
		if (tails) {
			q->exl[k] = q->exl[0];
			q->eyl[k] = q->eyl[0];
		}
	}
	for (size_t k = 0; k < n; k += nlanes) {
		lanes re, im;
		exp_mz2_lanes<tails>(load_lanes(q->ex + k), tails ? load_lanes(q->exl + k) : splat(0),
			load_lanes(q->ey + k), tails ? load_lanes(q->eyl + k) : splat(0), &re, &im);
		store_lanes(q->er + k, re);
		store_lanes(q->ei + k, im);
	}
}

/*
 * The lower box's reflection with exp(-z^2) and w(-z)'s series given:
 * lower_box_t's steps after them, the same operations in the same order
 * (kerb-arrays holds the two to the same bits).  A copy rather than one
 * function both call: with the single call going through it, the lower
 * box measured 2 % slower in bench/kerb (45.7 ns against 44.8), however
 * it was passed.
 */
[[gnu::always_inline]] inline void lower_with(double x, double y, double er, double ei,
	double ur, double ui, double *re, double *im)
{
	double ay = -y;
	ui *= -std::copysign(1.0, x);
	double f = 1 + (grid_row(box_grid, ay) != 0);
	er *= f;
	ei *= f;
	*re = er - ur;
	*im = ei - ui;
	if ((int)cancels(er, ur, *re, reflection_keeps) |
	    (int)cancels(ei, ui, *im, reflection_keeps))
		reflect_careful(x, y, re, im);
}

/* The single call's path for the points that are not queued, out of
 * line: inline, its registers would crowd out the loop's counters. */
[[gnu::noinline]] void w_single(double x, double y, double *re, double *im)
{
	w_point_t<false>(x, y, re, im);
}

/* Four lanes' masks: each all ones or zero. */
[[gnu::always_inline]] inline bool all_set(lane_mask m)
{
	return (m[0] & m[1] & m[2] & m[3]) != 0;
}

/* Whether each lane's y >= 0 lies on the real axis's row of grid g
 * (grid_row is 0: y / step rounds to 0, a half to even). */
[[gnu::always_inline]] inline lane_mask on_row0(const grid &g, lanes y)
{
	return y * g.scale <= 0.5;
}

/* exp(-z^2) is added to the series of x + iy (x, y >= 0) of grid g
 * (grid_path's test, lane by lane; exponent_of from the bits). */
[[gnu::always_inline]] inline lane_mask adds_exp(const grid &g, lanes x, lanes y)
{
	typedef uint64_t lane_bits_t __attribute__((vector_size(8 * nlanes)));
	lane_bits_t e = ((lane_bits_t)y >> 52 & 0x7ff) | 0x4330000000000000;
	lanes expo = ((lanes)e - 0x1p52) - 1023;
	return on_row0(g, y) & ((y < 0x1p-1000) | ((x - y) * (x + y) < 50 - 0.6931 * expo));
}

/* Which of four points ax + iy (y < 0) lie in the disc of a zero, and
 * each lane's zero (near_zero in internal.h, lane by lane). */
[[gnu::always_inline]] inline lane_mask near_zero_lanes(lanes ax, lanes y, int zi[nlanes])
{
	typedef int32_t quad_int __attribute__((vector_size(4 * nlanes)));
	quad_int z = __builtin_convertvector(ax * -y * rpi_hi + 0.625, quad_int) - 1;
	z = z < 0 ? 0 : z;
	z = z > nzeros - 1 ? nzeros - 1 : z;
	/* Each lane's zero, {x.hi, x.lo, y.hi, y.lo}, in columns. */
	const double *row[nlanes];
	for (int l = 0; l < nlanes; l++) {
		zi[l] = z[l];
		row[l] = &w_zeros[z[l]].x.hi;
	}
	lanes zc[4];
	half_group(row, 0, zc);
	lanes tx = ax - zc[0], ty = y - zc[2];
	lanes r2 = zc[0] * zc[0] + zc[2] * zc[2];
	return (tx * tx + ty * ty) * r2 < 0.09;
}

/*
 * A group of four points in a row of the array that take one path: the
 * grid series above the axis in one grid, or the lower box's reflection.
 * Found in a first pass over a block, where each is located; summed in
 * a second, where the loads of its coefficients need not wait on the
 * locating.
 */
enum class kind : unsigned char { box, wing, lower };

struct fast_group {
	size_t i;			/* its first point's place */
	kind how;
	int most;			/* its longest series, in groups */
	int ng[nlanes];
	const double *cp[nlanes];
	lanes x, y, tr, ti;
	lane_mask add;			/* where exp(-z^2) is added (above) */
	lane_mask zero;			/* in a zero's disc (below), and which */
	int z[nlanes];
	bool any;			/* where any lane adds it */
};

/*
 * Whether the four points at z take one path (*g its grid), and which:
 * the single call's choices (w_finite_t, upper_t, grid_path), lane by
 * lane.  A lane in the disc about the origin is left to the single call,
 * as is a zero's disc, whose test is made here for the lower box alone.
 */
[[gnu::always_inline]] inline bool classify(lanes x, lanes y, fast_group *f, const grid **g)
{
	lanes ax = abs_lanes(x), ay = abs_lanes(y);
	const lanes inf = splat(INFINITY);
	lane_mask fin = (ax < inf) & (ay < inf);
	lanes mx = ax > ay ? ax : ay;
	lane_mask box = fin & (ax < box_end) & (ay < box_end) & (mx >= taylor_rgrid);
	lane_mask up = y >= 0;
	if (all_set(box & up)) {
		f->how = kind::box;
		*g = &box_grid;
	} else if (all_set(box & ~up)) {
		/* A lane in a zero's disc is the single call's series about
		 * the zero, done after the group's. */
		f->zero = near_zero_lanes(ax, y, f->z);
		f->how = kind::lower;
		*g = &box_grid;
	} else if (all_set(fin & up & ~((ax < box_end) & (ay < box_end)) & (ax >= wing_xmin)
			   & (ax < wing_xmax) & (ay < wing_ymax))) {
		f->how = kind::wing;
		*g = &wing_grid;
	} else {
		return false;
	}
	return true;
}

/*
 * The lower box's points whose reflection cancels, gathered across
 * blocks and done four at a time (lanes_careful.h); a point those lanes
 * do not take, and the last few, by the single call's reflect_careful.
 * Each point's input is kept here: by then its place in the array may
 * hold its fast result, w being z.
 */
struct careful_queue {
	int n = 0;
	double x[nlanes], y[nlanes];
	double *out[nlanes];

	void add(double xi, double yi, double *o)
	{
		if (!careful_fits(xi, yi)) {
			reflect_careful(xi, yi, o, o + 1);
			return;
		}
		x[n] = xi;
		y[n] = yi;
		out[n] = o;
		if (++n < nlanes)
			return;
		lanes re, im;
		reflect_careful_lanes(load_lanes(x), load_lanes(y), &re, &im);
		for (int l = 0; l < nlanes; l++) {
			out[l][0] = re[l];
			out[l][1] = im[l];
		}
		n = 0;
	}

	void flush()
	{
		for (int l = 0; l < n; l++)
			reflect_careful(x[l], y[l], out[l], out[l] + 1);
		n = 0;
	}
};

/* A lane of the lower box in the disc of a zero: the single call's series
 * about the zero, and Im w's sign with x's, as lower_box_t flips it.
 * (Four at a time in the lanes it measured no faster: most of them sum
 * again in double-double, and a group that does so does it for all four.)
 */
inline void zero_lane(int z, double x, double y, double *o)
{
	zero_series(z, std::fabs(x), y, o, o + 1);
	if (std::signbit(x))
		o[1] = -o[1];
}

template <bool wide>
[[gnu::always_inline]] inline void w_lanes(size_t n, const double _Complex *z,
	double _Complex *w)
{
	queue q;
	careful_queue cq;
	fast_group fg[block / nlanes];
	double *out = reinterpret_cast<double *>(w);
	const double *in = reinterpret_cast<const double *>(z);
	int last_algorithm = -1, last_nofterms = 0;
	for (size_t at = 0; at < n; at += block) {
		size_t m = n - at < block ? n - at : block;
		/* The counts in locals, not in q: each point would otherwise
		 * wait for the last one's store. */
		size_t nq = 0, ne = 0, nbox = 0, nwing = 0, nf = 0;
		for (size_t g0 = at; g0 < at + m; g0 += nlanes) {
			if (g0 + nlanes <= at + m) {
				/* Four points in a row on one path: located now,
				 * summed below. */
				lanes a = load_lanes(in + 2 * g0), b = load_lanes(in + 2 * g0 + nlanes);
				lanes x = __builtin_shufflevector(a, b, 0, 2, 4, 6);
				lanes y = __builtin_shufflevector(a, b, 1, 3, 5, 7);
				fast_group &f = fg[nf];
				const grid *g;
				if (classify(x, y, &f, &g)) {
					lanes ax = abs_lanes(x), sy = f.how == kind::lower ? -y : y;
					uint32_t cell[nlanes];
					locate_four(*g, ax, splat(0), sy, splat(0), &f.tr, &f.ti, cell);
					f.most = cells_four(*g, cell, f.cp, f.ng);
					f.i = g0;
					f.x = x;
					f.y = y;
					if (f.how != kind::lower) {
						f.add = adds_exp(*g, ax, y);
						f.any = (f.add[0] | f.add[1] | f.add[2] | f.add[3]) != 0;
					}
					nf++;
					continue;
				}
			}
			for (size_t i = g0; i < g0 + nlanes && i < at + m; i++) {
				double x = in[2 * i], y = in[2 * i + 1], ax = std::fabs(x), r;
				const grid *g;
				bool add;
				way how;
				double sy, ex = ax;
				if (!(std::isfinite(x) && std::isfinite(y))) {
					goto single;
				} else if (y >= 0) {
					if (!grid_path({ax, 0}, {y, 0}, &g, &add))
						goto single;
					how = add ? series_exp : series_only;
					sy = y;
				} else if (region_of(ax, -y) == region::box && !about_origin(ax, -y, &r)
					   && near_zero(ax, y) < 0) {
					g = &box_grid;
					add = true;
					how = reflected;
					sy = -y;
					ex = x;
				} else {
					goto single;
				}
				{
					/* Queued: its exponential, its series and
					 * itself. */
					q.ex[ne] = ex;
					q.ey[ne] = y;
					bool wing = g == &wing_grid;
					grid_batch &b = wing ? q.wings : q.box;
					size_t s = wing ? nwing++ : nbox++;
					b.xh[s] = ax;
					b.yh[s] = sy;
					q.entries[nq++] = entry(i - at, s, ne, wing, how);
					ne += add;
					continue;
				}
			single:
				w_single(x, y, &out[2 * i], &out[2 * i + 1]);
				if (i == n - 1) {
					last_algorithm = faddeeva_algorithm;
					last_nofterms = faddeeva_nofterms;
				}
			}
		}
		/* The groups: the series, exp(-z^2) where the single call takes
		 * it, and its steps after them, four lanes at a time. */
		/* The exponentials in a pass of their own, and the series in
		 * another: a group's steps wait on each other, a pass's groups
		 * do not. */
		lanes fer[block / nlanes], fei[block / nlanes];
		for (size_t k = 0; k < nf; k++) {
			const fast_group &f = fg[k];
			if (f.how == kind::lower || f.any)
				exp_mz2_lanes<false>(f.how == kind::lower ? f.x : abs_lanes(f.x), splat(0), f.y,
					splat(0), &fer[k], &fei[k]);
		}
		for (size_t k = 0; k < nf; k++) {
			const fast_group &f = fg[k];
			lanes p0r, p0i, sr, si, er = fer[k], ei = fei[k], re, im;
			series_any(f.most, f.cp, f.tr, f.ti, &p0r, &p0i, &sr, &si);
			const lane_mask sign = splat_bits(uint64_t(1) << 63);
			lane_mask careful = {0, 0, 0, 0};
			if (f.how != kind::lower) {
				p0r = f.add ? p0r + er : p0r;
				p0i = f.add ? p0i + ei : p0i;
				re = p0r + sr;
				im = (lanes)((lane_mask)(p0i + si) ^ ((lane_mask)f.x & sign));
			} else {
				/* lower_box_t's steps after the series. */
				lanes ur = p0r + sr, ui = p0i + si;
				lanes one = (lanes)((lane_mask)splat(1.0) | ((lane_mask)f.x & sign));
				ui *= -one;
				/* 1 on the real axis's row, else 2. */
				lanes f2 = (lanes)((lane_mask)splat(1.0) & ~on_row0(box_grid, -f.y)) + 1;
				er *= f2;
				ei *= f2;
				re = er - ur;
				im = ei - ui;
				lanes mr = abs_lanes(er) > abs_lanes(ur) ? abs_lanes(er) : abs_lanes(ur);
				lanes mi = abs_lanes(ei) > abs_lanes(ui) ? abs_lanes(ei) : abs_lanes(ui);
				careful = (abs_lanes(re) < reflection_keeps * mr)
					| (abs_lanes(im) < reflection_keeps * mi);
			}
			store_lanes(out + 2 * f.i, __builtin_shufflevector(re, im, 0, 4, 1, 5));
			store_lanes(out + 2 * f.i + nlanes, __builtin_shufflevector(re, im, 2, 6, 3, 7));
			lane_mask other = f.how == kind::lower ? careful | f.zero : careful;
			if ((other[0] | other[1] | other[2] | other[3]) != 0) {
				for (int l = 0; l < nlanes; l++) {
					if (f.zero[l])
						zero_lane(f.z[l], f.x[l], f.y[l], &out[2 * (f.i + l)]);
					else if (careful[l])
						cq.add(f.x[l], f.y[l], &out[2 * (f.i + l)]);
				}
			}
			if (f.i + nlanes == n) {
				last_algorithm = f.how == kind::lower ? ALG_GRID + ALG_REFLECT : ALG_GRID;
				last_nofterms = 4 * f.ng[nlanes - 1];
				if (f.how == kind::lower && f.zero[nlanes - 1]) {
					int k = f.z[nlanes - 1];
					last_algorithm = ALG_ZERO;
					last_nofterms = zero_start[k + 1] - zero_start[k] + 2;
				}
			}
		}
		q.n = nq;
		q.ne = ne;
		q.box.n = nbox;
		q.wings.n = nwing;
		run_exp<false>(&q);
		if (nbox)
			series_batch<false>(box_grid, &q.box);
		if (nwing)
			series_batch<false>(wing_grid, &q.wings);
		for (size_t k = 0; k < nq; k++) {
			uint32_t v = q.entries[k];
			size_t i = at + (v & 0xff), s = v >> 8 & 0xff, e = v >> 16 & 0xff;
			way how = static_cast<way>(v >> 25);
			/* Its input is still there: only its own output replaces
			 * it. */
			double x = in[2 * i], y = in[2 * i + 1];
			double *re = &out[2 * i], *im = re + 1;
			const grid_batch &b = v >> 24 & 1 ? q.wings : q.box;
			int ng = b.ng[s];
			/* The counters are the last point's alone. */
			bool last = i == n - 1;
			if (last) {
				last_algorithm = how == reflected ? ALG_GRID + ALG_REFLECT : ALG_GRID;
				last_nofterms = 4 * ng;
			}
			double p0r = b.p0r[s], p0i = b.p0i[s];
			if (how == reflected) {
				lower_with(x, y, q.er[e], q.ei[e], p0r + b.sr[s], p0i + b.si[s], re, im);
				continue;
			}
			if (how == series_exp) {
				p0r += q.er[e];
				p0i += q.ei[e];
			}
			*re = p0r + b.sr[s];
			*im = flip_by(p0i + b.si[s], x);
		}
	}
	cq.flush();
	if (last_algorithm >= 0) {
		faddeeva_algorithm = last_algorithm;
		faddeeva_nofterms = last_nofterms;
	}
}

/* A group of four x in a row whose profiles take the grid series of one
 * grid: located in a first pass over a block, summed in a second. */
struct voigt_group {
	size_t i;
	int most, ng[nlanes];
	const double *cp[nlanes];
	lanes zx, zxl, tr, ti;
	lane_mask add;
	bool any;
};

/*
 * voigt_n's common case across points.  Four x in a row whose arguments
 * of w, (|x| + i gamma) / (sigma sqrt 2), all take the grid series of one
 * grid go as a group, the arguments formed as profile_t forms them (each
 * part one exact product and one product of the tail), lane by lane; any
 * other x is queued for its grid's batch if its single call sums the
 * grid series, else evaluated at once through profile_t.  Neighbours
 * along the line of x share a cell, and their series read each
 * coefficient once for four lanes.
 */
template <bool wide>
[[gnu::always_inline]] inline void voigt_lanes(size_t n, const double *x, double gamma,
	const width &sw, double reach, double *v)
{
	queue q;
	voigt_group vg[block / nlanes];
	bool last_set = false;
	int last_nofterms = 0;
	dd zy = times_r(gamma, sw.rh, sw.rl);
	/* two_prod(a, rh)'s split of rh, shared by every product. */
	dd srh = split(sw.rh);
	const lanes c27 = splat(0x1p27 + 1);
	bool far = zy.hi < 0x1p-950;
	for (size_t at = 0; at < n; at += block) {
		size_t m = n - at < block ? n - at : block;
		size_t nq = 0, ne = 0, nbox = 0, nwing = 0, nf = 0;
		for (size_t g0 = at; g0 < at + m; g0 += nlanes) {
			if (g0 + nlanes <= at + m) {
				lanes ax = abs_lanes(load_lanes(x + g0));
				/* zx = times_r(ax, rh, rl): two_prod and the tail. */
				lanes p = ax * sw.rh, ca = c27 * ax, ah = ca - (ca - ax), al = ax - ah;
				lanes e = ((ah * srh.hi - p) + ah * srh.lo + al * srh.hi) + al * srh.lo;
				lanes zx = p, zxl = e + ax * sw.rl;
				lane_mask ok = (ax <= 0x1p300) & (ax <= reach);
				if (far)
					ok &= ~(zx > 26);
				lanes mx = zx > zy.hi ? zx : splat(zy.hi);
				lane_mask box = (zx < box_end) & (zy.hi < box_end) & (mx >= taylor_rgrid);
				lane_mask wing = ~((zx < box_end) & (zy.hi < box_end)) & (zx >= wing_xmin)
					& (zx < wing_xmax) & (zy.hi < wing_ymax);
				const grid *g = nullptr;
				if (all_set(ok & box))
					g = &box_grid;
				else if (all_set(ok & wing))
					g = &wing_grid;
				if (g) {
					voigt_group &f = vg[nf++];
					uint32_t cell[nlanes];
					locate_four(*g, zx, zxl, splat(zy.hi), splat(zy.lo), &f.tr, &f.ti, cell);
					f.most = cells_four(*g, cell, f.cp, f.ng);
					f.i = g0;
					f.zx = zx;
					f.zxl = zxl;
					f.add = adds_exp(*g, zx, splat(zy.hi));
					f.any = (f.add[0] | f.add[1] | f.add[2] | f.add[3]) != 0;
					continue;
				}
			}
			for (size_t i = g0; i < g0 + nlanes && i < at + m; i++) {
				double xi = x[i], ax = std::fabs(xi);
				if (common_x(ax, reach)) {
					dd zx = times_r(ax, sw.rh, sw.rl);
					const grid *g;
					bool add;
					if (!(zx.hi > 26 && far) && grid_path(zx, zy, &g, &add)) {
						q.ex[ne] = zx.hi;
						q.exl[ne] = zx.lo;
						q.ey[ne] = zy.hi;
						q.eyl[ne] = zy.lo;
						bool wing = g == &wing_grid;
						grid_batch &b = wing ? q.wings : q.box;
						size_t s = wing ? nwing++ : nbox++;
						b.xh[s] = zx.hi;
						b.xl[s] = zx.lo;
						b.yh[s] = zy.hi;
						b.yl[s] = zy.lo;
						q.entries[nq++] = entry(i - at, s, ne, wing,
							add ? series_exp : series_only);
						ne += add;
						continue;
					}
					v[i] = profile_t<wide>(ax, gamma, sw);
				} else {
					v[i] = voigt_point(xi, sw.sigma, gamma);
				}
				if (i == n - 1)
					last_set = false;
			}
		}
		for (size_t k = 0; k < nf; k++) {
			const voigt_group &f = vg[k];
			lanes p0r, p0i, sr, si, er = splat(0), ei = er;
			if (f.any)
				exp_mz2_lanes<true>(f.zx, f.zxl, splat(zy.hi), splat(zy.lo), &er, &ei);
			series_any(f.most, f.cp, f.tr, f.ti, &p0r, &p0i, &sr, &si);
			lanes re = (f.add ? p0r + er : p0r) + sr;
			store_lanes(v + f.i, sw.f.hi * re + sw.f.lo * re);
			if (f.i + nlanes == n) {
				last_set = true;
				last_nofterms = 4 * f.ng[nlanes - 1];
			}
		}
		q.n = nq;
		q.ne = ne;
		q.box.n = nbox;
		q.wings.n = nwing;
		run_exp<true>(&q);
		if (nbox)
			series_batch<true>(box_grid, &q.box);
		if (nwing)
			series_batch<true>(wing_grid, &q.wings);
		for (size_t k = 0; k < nq; k++) {
			uint32_t e = q.entries[k];
			size_t i = at + (e & 0xff), s = e >> 8 & 0xff;
			const grid_batch &b = e >> 24 & 1 ? q.wings : q.box;
			double re = b.p0r[s];
			if (static_cast<way>(e >> 25) == series_exp)
				re += q.er[e >> 16 & 0xff];
			re += b.sr[s];
			v[i] = sw.f.hi * re + sw.f.lo * re;
			if (i == n - 1) {
				last_set = true;
				last_nofterms = 4 * b.ng[s];
			}
		}
	}
	if (last_set) {
		faddeeva_algorithm = ALG_GRID;
		faddeeva_nofterms = last_nofterms;
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
