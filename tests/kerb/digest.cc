/* SPDX-License-Identifier: ISC */
/*
 * kerb-digest: one 64-bit digest of every bit that libkerb returns on the
 * reference tables (w and the two counters from each single call, w from
 * one array call; the profile from single and array calls), per table,
 * for a test to hold the targets against each other.
 *
 * Usage: kerb-digest w|v TABLE ...
 */
#include <cinttypes>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kerb.h"
#include "table.h"

namespace {

/* FNV-1a, 64 bits. */
struct Digest {
	uint64_t h = 0xcbf29ce484222325u;
	void add(const void *p, size_t n)
	{
		const unsigned char *b = static_cast<const unsigned char *>(p);
		for (size_t i = 0; i < n; i++)
			h = (h ^ b[i]) * 0x100000001b3u;
	}
	void add(double v)
	{
		add(&v, sizeof v);
	}
	void add(int v)
	{
		add(&v, sizeof v);
	}
};

template <class T> std::vector<T> read_table(const char *path)
{
	std::vector<T> v;
	FILE *f = std::fopen(path, "rb");
	if (f == nullptr) {
		std::perror(path);
		std::exit(1);
	}
	T rec;
	while (std::fread(&rec, sizeof rec, 1, f) == 1)
		v.push_back(rec);
	(void)std::fclose(f);
	return v;
}

uint64_t digest_w(const std::vector<WPoint> &t)
{
	Digest d;
	std::vector<std::complex<double>> z;
	for (const WPoint &p : t) {
		std::complex<double> w = w_of_z(std::complex<double>(p.x, p.y));
		d.add(w.real());
		d.add(w.imag());
		d.add(faddeeva_algorithm);
		d.add(faddeeva_nofterms);
		z.push_back({p.x, p.y});
	}
	w_of_z_n(z.size(), z.data(), z.data());
	for (const std::complex<double> &w : z) {
		d.add(w.real());
		d.add(w.imag());
	}
	return d.h;
}

uint64_t digest_v(const std::vector<VPoint> &t)
{
	Digest d;
	for (size_t i = 0; i < t.size(); i++) {
		const VPoint &p = t[i];
		d.add(voigt(p.x, p.sigma, p.gamma));
		/* This point's widths over the x of the next three. */
		double x[4];
		size_t n = 0;
		for (size_t k = i; k < t.size() && n < 4; k++)
			x[n++] = t[k].x;
		voigt_n(n, x, p.sigma, p.gamma, x);
		for (size_t k = 0; k < n; k++)
			d.add(x[k]);
	}
	return d.h;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 3 || (std::strcmp(argv[1], "w") != 0 && std::strcmp(argv[1], "v") != 0)) {
		std::fprintf(stderr, "usage: kerb-digest w|v TABLE ...\n");
		return 2;
	}
	bool w = argv[1][0] == 'w';
	for (int i = 2; i < argc; i++) {
		const char *base = std::strrchr(argv[i], '/');
		base = base ? base + 1 : argv[i];
		if (w) {
			std::vector<WPoint> t = read_table<WPoint>(argv[i]);
			std::printf("%s %zu %016" PRIx64 "\n", base, t.size(), digest_w(t));
		} else {
			std::vector<VPoint> t = read_table<VPoint>(argv[i]);
			std::printf("%s %zu %016" PRIx64 "\n", base, t.size(), digest_v(t));
		}
	}
	return 0;
}
