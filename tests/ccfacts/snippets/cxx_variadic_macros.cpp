/* SPDX-License-Identifier: ISC */
int sum(int a, int b) { return a + b; }
#define SUM(...) sum(__VA_ARGS__)
int x = SUM(1, 2);
