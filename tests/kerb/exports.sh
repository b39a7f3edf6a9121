#!/bin/sh
# SPDX-License-Identifier: ISC
# The library exports exactly the four symbols of kerb.h, unversioned.
set -eu
got=$(nm -D --defined-only "$1" | awk '{ print $3 }' | sort | tr '\n' ' ')
want="faddeeva_algorithm faddeeva_nofterms voigt w_of_z "
[ "$got" = "$want" ] || { echo "exports: $got; want: $want"; exit 1; }
