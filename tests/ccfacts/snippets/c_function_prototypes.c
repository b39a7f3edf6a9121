/* SPDX-License-Identifier: ISC */
/* A prototype: the parameter types are part of the declaration. */
int add(int a, int b);

int
add(int a, int b)
{
	return a + b;
}
