/*
 * kerb.h: the Faddeeva function and the Voigt profile (libkerb.so.1).
 *
 * The interface is C, with C's complex calling convention; C++ callers see
 * the same symbols through extern "C" and must pass and take `double _Complex`
 * values (GCC and Clang accept _Complex in C++ as an extension), never
 * std::complex<double>, whose passing differs on some ABIs (MIPS o32, i386).
 */
#ifndef KERB_H
#define KERB_H

#ifdef __cplusplus
extern "C" {
#endif

/* w(z) = exp(-z^2) erfc(-iz), within 5e-16 of |w| (see w_of_z(3) for the
 * lower half-plane near the zeros of w); overflow gives infinities, never
 * a NaN for finite z. */
double _Complex w_of_z(double _Complex z);

/* The normalised Voigt profile at x for the Gaussian standard deviation
 * sigma and the Lorentzian half width gamma:
 * Re w((x + i gamma) / (sigma sqrt 2)) / (sigma sqrt(2 pi)).  NaN for a
 * negative width; the delta function's limits at sigma = gamma = 0. */
double voigt(double x, double sigma, double gamma);

/* Left by every w_of_z call: the method it used (0 special input, 1 Taylor
 * series about 0, 3 continued fraction, 4 leading asymptotic term, 5
 * Taylor series about a zero of w, 6 Taylor series about a grid point;
 * 13, 14 and 16 the same reflected into the lower half-plane) and how
 * many terms or levels that took (see w_of_z(3)). */
extern int faddeeva_algorithm;
extern int faddeeva_nofterms;

#ifdef __cplusplus
}
#endif

#endif
