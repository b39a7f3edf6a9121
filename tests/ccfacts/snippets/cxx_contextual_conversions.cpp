/* SPDX-License-Identifier: ISC */
// Two conversion functions to a pointer type: a contextual conversion
// (here the operand of delete) picks one by overload resolution.
template <typename T> struct zero_init {
	zero_init() : val(0) {}
	operator T &() { return val; }
	operator T() const { return val; }
	T val;
};

void f()
{
	zero_init<int *> p;
	delete p;
}
