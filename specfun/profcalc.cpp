/* SPDX-License-Identifier: ISC */
/*
 * profcalc: the Voigt profile at x for the Gaussian width sigma and the
 * Lorentzian width gamma, as libkerb normalises it.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <errno.h>

#include "kerb.h"

static void usage(void);
static void flush(void);

int
main(int argc, char *argv[])
{
	double x, sigma, gamma;

	if (argc != 4)
		usage();

	/* strtod without an end pointer: trailing text is ignored, no number is 0. */
	x = strtod(argv[1], NULL);
	sigma = strtod(argv[2], NULL);
	gamma = strtod(argv[3], NULL);

	printf("%25.19g\n", voigt(x, sigma, gamma));
	flush();
	return 0;
}

static void
usage(void)
{
	(void)fputs("usage:\n", stderr);
	(void)fputs("   profcalc <x> <sigma> <gamma>\n", stderr);
	exit(-1);
}

/* A result that never reached standard output must not look like success. */
static void
flush(void)
{
	if (fflush(stdout) == EOF || ferror(stdout)) {
		(void)fprintf(stderr, "profcalc: write error: %s\n", strerror(errno));
		exit(1);
	}
}
