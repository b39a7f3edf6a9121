/* SPDX-License-Identifier: ISC */
/*
 * kerb.h: the Faddeeva function and the Voigt profile (libkerb.so.1).
 *
 * The interface is C, with C's complex calling convention.  C++ has no
 * _Complex, but GCC and Clang give it the C layout and passing as an
 * extension: kerb_complex names that type for C++ (__extension__ keeps
 * -pedantic quiet), and an inline overload takes and returns
 * std::complex<double>, which cannot be passed directly because its passing
 * differs on some ABIs (MIPS o32, i386).
 */
#ifndef KERB_H
#define KERB_H

#ifdef __cplusplus
#include <complex>
#include <cstddef>
#include <cstring>

__extension__ typedef double _Complex kerb_complex;

extern "C" {
#else
#include <stddef.h>

typedef double _Complex kerb_complex;
#endif

/* w(z) = exp(-z^2) erfc(-iz), within 5e-16 of |w| (see w_of_z(3) for the
 * lower half-plane near the zeros of w); overflow gives infinities, never
 * a NaN for finite z. */
kerb_complex w_of_z(kerb_complex z);

/* The normalised Voigt profile at x for the Gaussian standard deviation
 * sigma and the Lorentzian half width gamma:
 * Re w((x + i gamma) / (sigma sqrt 2)) / (sigma sqrt(2 pi)).  NaN for a
 * negative width; the delta function's limits at sigma = gamma = 0. */
double voigt(double x, double sigma, double gamma);

/* w[i] = w_of_z(z[i]) and v[i] = voigt(x[i], sigma, gamma) for i < n,
 * bit for bit, for less than a loop of the calls costs; w may be z and v
 * may be x (the same array; arrays that overlap otherwise are not
 * allowed).  The counters below are those of the last point. */
void w_of_z_n(size_t n, const kerb_complex z[], kerb_complex w[]);
void voigt_n(size_t n, const double x[], double sigma, double gamma, double v[]);

/* Left by every w_of_z call: the method it used (0 special input, 1 Taylor
 * series about 0, 3 continued fraction, 4 leading asymptotic term, 5
 * Taylor series about a zero of w, 6 Taylor series about a grid point;
 * 13, 14 and 16 the same reflected into the lower half-plane) and how
 * many terms or levels that took (see w_of_z(3)).  They are plain
 * globals: calls from several threads race on them. */
extern int faddeeva_algorithm;
extern int faddeeva_nofterms;

#ifdef __cplusplus
}

/* Both types hold the real part, then the imaginary part, as two doubles. */
inline std::complex<double> w_of_z(std::complex<double> z)
{
	double parts[2] = {z.real(), z.imag()};
	kerb_complex c;
	std::memcpy(&c, parts, sizeof c);
	c = w_of_z(c);
	std::memcpy(parts, &c, sizeof parts);
	return std::complex<double>(parts[0], parts[1]);
}

/* An array of std::complex<double> is an array of the same pairs of
 * doubles (the standard fixes that layout), handed over by address. */
inline void w_of_z_n(std::size_t n, const std::complex<double> z[], std::complex<double> w[])
{
	w_of_z_n(n, reinterpret_cast<const kerb_complex *>(z), reinterpret_cast<kerb_complex *>(w));
}
#endif

#endif
