/* SPDX-License-Identifier: ISC */
int report(const char *fmt, ...);
#define REPORT(...) report(__VA_ARGS__)

int
f(void)
{
	return REPORT("%d", 1);
}
