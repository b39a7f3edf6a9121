/* SPDX-License-Identifier: ISC */
int f()
{
	int a[3] = { 1, 2, 3 };
	int s = 0;
	for (int x : a)
		s += x;
	return s;
}
