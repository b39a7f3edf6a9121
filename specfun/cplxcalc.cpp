/* SPDX-License-Identifier: ISC */
/*
 * cplxcalc: the Faddeeva function w(z) = exp(-z^2) erfc(-iz) at z = x + iy,
 * with the method and term count that libkerb reports for the evaluation.
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
	double _Complex z, w;
	int algorithm, nofterms;

	if (argc != 3)
		usage();

	/* strtod without an end pointer: trailing text is ignored, no number is 0. */
	__real__ z = strtod(argv[1], NULL);
	__imag__ z = strtod(argv[2], NULL);

	w = w_of_z(z);
	/* The library sets these on every call; read them only now. */
	algorithm = faddeeva_algorithm;
	nofterms = faddeeva_nofterms;

	printf("%25.19g %25.19g %3i %3i\n", __real__ w, __imag__ w, algorithm, nofterms);
	flush();
	return 0;
}

static void
usage(void)
{
	(void)fputs("usage:\n", stderr);
	(void)fputs("   cplxcalc <x> <y>\n", stderr);
	exit(-1);
}

/* A result that never reached standard output must not look like success. */
static void
flush(void)
{
	if (fflush(stdout) == EOF || ferror(stdout)) {
		(void)fprintf(stderr, "cplxcalc: write error: %s\n", strerror(errno));
		exit(1);
	}
}
