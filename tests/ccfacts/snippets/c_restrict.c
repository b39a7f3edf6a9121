/* SPDX-License-Identifier: ISC */
void
copy(int *restrict dst, const int *restrict src)
{
	*dst = *src;
}
