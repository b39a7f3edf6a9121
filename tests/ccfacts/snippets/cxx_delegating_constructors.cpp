/* SPDX-License-Identifier: ISC */
struct S {
	int x;
	S(int v) : x(v) {}
	S() : S(0) {}
};
