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

/* w(z) = exp(-z^2) erfc(-iz). */
double _Complex w_of_z(double _Complex z);

/* The normalised Voigt profile at x for Gaussian width sigma and
 * Lorentzian half-width gamma. */
double voigt(double x, double sigma, double gamma);

/* Left by every w_of_z call: the method it used and how many terms or
 * iterations that took (see w_of_z(3)). */
extern int faddeeva_algorithm;
extern int faddeeva_nofterms;

#ifdef __cplusplus
}
#endif

#endif
