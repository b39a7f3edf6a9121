/* SPDX-License-Identifier: ISC */
/* link-probe: the smallest C program; that it builds is its whole message. */
int
main()
{
	return 0;
}
