/* SPDX-License-Identifier: ISC */
/*
 * value.cpp: the values a script handles and the reference-counted
 * descriptor objects among them.  A Value holds its object's reference
 * for as long as it lives, so no code outside this file counts
 * references; the one exception is the module, which holds an object it
 * popped as a bare pointer until it calls VXfile_free_fd.  The descriptor
 * operations and the errno operation of vexil.h are defined here.
 *
 * Test hook: with VEXIL_TEST_UNREADABLE_FD set in the environment,
 * VXfile_get_fd fails, so that a module's handling of it can be seen.
 */
#include <stdlib.h>
#include <unistd.h>

#include <utility>

#include "host.h"

int vexil_errno; /* the script's errno */

static void
fd_release(VXFile_FD_Type *f)
{
	if (--f->refs > 0)
		return;
	if (f->fd >= 0)
		(void)close(f->fd);
	delete f;
}

Value
Value::integer(int i)
{
	Value v;

	v.i_ = i;
	return v;
}

Value
Value::string(std::string s)
{
	Value v;

	v.type_ = VX_STRING_TYPE;
	v.s_ = std::move(s);
	return v;
}

Value
Value::descriptor(int fd)
{
	Value v;

	v.f_ = new VXFile_FD_Type{fd, 1};
	v.type_ = VX_FILE_FD_TYPE;
	return v;
}

Value::Value(const Value &v) : type_(v.type_), i_(v.i_), s_(v.s_), f_(v.f_)
{
	if (f_ != nullptr)
		f_->refs++;
}

Value::Value(Value &&v) noexcept : Value()
{
	swap(v);
}

/* By value: the old contents go with the argument, after the new are in place. */
Value &
Value::operator=(Value v) noexcept
{
	swap(v);
	return *this;
}

Value::~Value()
{
	if (f_ != nullptr)
		fd_release(f_);
}

void
Value::swap(Value &v) noexcept
{
	std::swap(type_, v.type_);
	std::swap(i_, v.i_);
	s_.swap(v.s_);
	std::swap(f_, v.f_);
}

VXFile_FD_Type *
Value::hand_over()
{
	VXFile_FD_Type *f = f_;

	f_ = nullptr;
	*this = Value();
	return f;
}

extern "C" int
VXfile_get_fd(VXFile_FD_Type *f, int *fdp)
{
	if (f == nullptr || fdp == nullptr || f->fd < 0 ||
	    getenv("VEXIL_TEST_UNREADABLE_FD") != nullptr)
		return -1;
	*fdp = f->fd;
	return 0;
}

extern "C" void
VXfile_free_fd(VXFile_FD_Type *f)
{
	if (f != nullptr)
		fd_release(f);
}

extern "C" void
VXerrno_set_errno(int e)
{
	vexil_errno = e;
}
