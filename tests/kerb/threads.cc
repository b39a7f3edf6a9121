/* SPDX-License-Identifier: ISC */
/*
 * The method counters under threads.  Calls from several threads race on
 * faddeeva_algorithm and faddeeva_nofterms by the interface, but each
 * call stores one code of the documented set in one store: a reader never
 * sees a code that no method has, such as a reflected code reflected once
 * more (26) or the reflection's 10 added to another call's 0, 1 or 5.
 *
 * Writers call w_of_z on points of every code, the reflected ones beside
 * the codes that a racing read-modify-write would add 10 to; each writer
 * checks the counters after its own calls, and readers sample them
 * throughout.  A code that does not exist is rare even where the stores
 * are wrong (some tens in millions of calls), so the test makes millions.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <complex>
#include <cstdio>
#include <set>
#include <thread>
#include <vector>

#include "kerb.h"

namespace {

/* The codes of w_of_z(3). */
const std::set<int> documented = {0, 1, 3, 4, 5, 6, 13, 14, 16};
constexpr int most_terms = 20;

/* One point of each code; the writers take them in turn, each from its
 * own place in the cycle. */
struct Point {
	std::complex<double> z;
	int code;
};
const Point points[] = {
	{{NAN, 1}, 0},
	{{0.01, 0.02}, 1},
	{{20, -20}, 13},
	{{3, 20}, 3},
	{{1e9, -1e9}, 14},
	{{1e9, 1}, 4},
	{{10, -1}, 16},
	{{1.99, -1.35}, 5},
	{{2.5, 1.5}, 6},
	{{-12, -0.5}, 16},
};
constexpr size_t npoints = sizeof points / sizeof points[0];

/* A plain read that the compiler makes every time it is asked for. */
int sample(const int &v)
{
	return *static_cast<const volatile int *>(&v);
}

struct Seen {
	std::atomic<long> bad{0}, reads{0};
	std::atomic<int> example{-1};
	void check(int algorithm, int nofterms)
	{
		reads.fetch_add(1, std::memory_order_relaxed);
		if (!documented.count(algorithm) || nofterms < 0 || nofterms > most_terms) {
			bad.fetch_add(1, std::memory_order_relaxed);
			example.store(documented.count(algorithm) ? 1000 + nofterms : algorithm,
				std::memory_order_relaxed);
		}
	}
};

/* Every point alone leaves the code it is chosen for: else the writers
 * would not cover the codes the test is about. */
TEST(Threads, PointsCoverEveryCode)
{
	std::set<int> covered;
	for (const Point &p : points) {
		(void)w_of_z(p.z);
		EXPECT_EQ(faddeeva_algorithm, p.code) << p.z;
		covered.insert(faddeeva_algorithm);
	}
	EXPECT_EQ(covered, documented);
}

TEST(Threads, CountersHoldOnlyDocumentedCodes)
{
	const unsigned writers = 4, readers = 2;
	const long calls = 1500000;	/* per writer */
	std::atomic<bool> done{false};
	Seen seen;
	std::vector<std::thread> pool;
	for (unsigned t = 0; t < writers; t++)
		pool.emplace_back([&, t] {
			double sum = 0;
			for (long i = 0; i < calls; i++) {
				const Point &p = points[(i + 3 * t) % npoints];
				sum += w_of_z(p.z).real();
				seen.check(sample(faddeeva_algorithm), sample(faddeeva_nofterms));
			}
			if (sum == 42)
				std::puts("");	/* keeps the calls */
		});
	std::vector<std::thread> watch;
	for (unsigned t = 0; t < readers; t++)
		watch.emplace_back([&] {
			while (!done.load(std::memory_order_relaxed))
				seen.check(sample(faddeeva_algorithm), sample(faddeeva_nofterms));
		});
	for (std::thread &t : pool)
		t.join();
	done = true;
	for (std::thread &t : watch)
		t.join();
	EXPECT_GE(seen.reads.load(), long(writers) * calls);
	EXPECT_EQ(seen.bad.load(), 0) << "e.g. " << seen.example.load()
		<< " (1000 + n: a count of terms out of range)";
}

} // namespace
