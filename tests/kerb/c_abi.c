/* SPDX-License-Identifier: ISC */
/*
 * w_of_z called from C, with C's complex calling convention, on every
 * target: the values must arrive whole and the two counters be set by
 * the call itself.
 */
#include <complex.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "kerb.h"

static int failures;

static uint64_t bits_of(double v)
{
	uint64_t b;

	memcpy(&b, &v, sizeof b);
	return b;
}

/* A NaN result is this target's NAN, whatever the payload of the NaN
 * argument (MIPS II marks a quiet NaN otherwise than the others do). */
static void check_nan(const char *what, double v)
{
	if (bits_of(v) != bits_of(NAN)) {
		printf("%s: %016llx, want this target's NAN %016llx\n", what,
		    (unsigned long long)bits_of(v), (unsigned long long)bits_of(NAN));
		failures++;
	}
}

static void check(double x, double y, double re, double im, double tol)
{
	double complex w = w_of_z(CMPLX(x, y));

	if (!(fabs(creal(w) - re) <= tol * fabs(re) &&
	    fabs(cimag(w) - im) <= tol * fabs(im))) {
		printf("w(%a%+ai) = %a%+ai, want %a%+ai\n", x, y,
		    creal(w), cimag(w), re, im);
		failures++;
	}
}

int main(void)
{
	double complex w;

	/* 40-digit values rounded to double. */
	check(1, 1, 0x1.380edd6ce5536p-2, 0x1.aa6eb0cfe97c7p-3, 0x1p-51);
	check(-2, -1, -0x1.a481bcef46412p-3, -0x1.2cc2918b8ad3bp-3, 0x1p-50);
	check(5, 0, 0x1.e8a37a45fc32ep-37, 0x1.d80c2650f5807p-4, 0x1p-50);
	check(0, 0, 1, 0, 0);

	/* The counters belong to the latest call. */
	faddeeva_algorithm = faddeeva_nofterms = -1;
	w = w_of_z(CMPLX(0.02, 0.02));
	(void)w;
	if (faddeeva_algorithm != 1 || faddeeva_nofterms < 3) {
		printf("after w(0.02+0.02i): algorithm %d, %d terms\n",
		    faddeeva_algorithm, faddeeva_nofterms);
		failures++;
	}
	w = w_of_z(CMPLX(3, -2));
	if (faddeeva_algorithm != 16 || faddeeva_nofterms < 8) {
		printf("after w(3-2i): algorithm %d, %d terms\n",
		    faddeeva_algorithm, faddeeva_nofterms);
		failures++;
	}

	/* The array calls from C, in place: the single calls' values, and
	 * the counters of the last point. */
	{
		double complex z[2] = {CMPLX(1, 1), CMPLX(3, -2)};
		double x[2] = {0, 1.5}, want;

		w_of_z_n(2, z, z);
		if (z[0] != w_of_z(CMPLX(1, 1)) || z[1] != w_of_z(CMPLX(3, -2)) ||
		    faddeeva_algorithm != 16) {
			printf("w_of_z_n: %a%+ai, %a%+ai, algorithm %d\n", creal(z[0]),
			    cimag(z[0]), creal(z[1]), cimag(z[1]), faddeeva_algorithm);
			failures++;
		}
		want = voigt(1.5, 1, 0.5);
		voigt_n(2, x, 1, 0.5, x);
		if (x[0] != voigt(0, 1, 0.5) || x[1] != want) {
			printf("voigt_n: %a %a\n", x[0], x[1]);
			failures++;
		}
	}

	/* NaN arguments with a payload and either sign. */
	{
		const uint64_t payloads[] = {0x7ff0000000000001u, 0xfff4000000000000u,
		    0x7ff8000000000123u};
		double complex z[3], w[3];
		double x[3], v[3];
		int i;

		for (i = 0; i < 3; i++) {
			memcpy(&x[i], &payloads[i], sizeof x[i]);
			z[i] = CMPLX(1, x[i]);
		}
		w_of_z_n(3, z, w);
		voigt_n(3, x, 1, 1, v);
		for (i = 0; i < 3; i++) {
			check_nan("Re w_of_z", creal(w_of_z(z[i])));
			check_nan("Im w_of_z_n", cimag(w[i]));
			check_nan("voigt", voigt(x[i], 1, 1));
			check_nan("voigt_n", v[i]);
		}
	}

	if (voigt(0, 1, 0) != 0x1.9884533d43651p-2) {
		printf("voigt(0, 1, 0) = %a\n", voigt(0, 1, 0));
		failures++;
	}
	return failures != 0;
}
