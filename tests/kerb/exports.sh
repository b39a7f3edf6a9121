#!/bin/sh
# SPDX-License-Identifier: ISC
# The library exports exactly the six symbols of kerb.h, unversioned.
set -eu
got=$(nm -D --defined-only "$1" | awk '{ print $3 }' | sort | tr '\n' ' ')
want="faddeeva_algorithm faddeeva_nofterms voigt voigt_n w_of_z w_of_z_n "
[ "$got" = "$want" ] || { echo "exports: $got; want: $want"; exit 1; }
