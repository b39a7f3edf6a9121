/* SPDX-License-Identifier: ISC */
/*
 * value.cpp: the values a script handles, the reference-counted
 * descriptor objects among them, and the argument stack through which the
 * host calls a module's intrinsics and the module takes its arguments.
 * The stack operations of vexil.h are defined here.
 *
 * Test hook: with VEXIL_TEST_UNREADABLE_FD set in the environment,
 * VXfile_get_fd fails, so that a module's handling of it can be seen.
 */
#include <stdlib.h>
#include <unistd.h>

#include <utility>

#include "host.h"

int vexil_errno; /* the script's errno */

static std::vector<Value> stack;
static size_t stack_floor; /* values below belong to an outer call */
static int stack_overrun;  /* the running handler popped past its arguments */

Value
int_value(int i)
{
	return Value{VX_INT_TYPE, i, std::string(), nullptr};
}

Value
string_value(const std::string &s)
{
	return Value{VX_STRING_TYPE, 0, s, nullptr};
}

Value
fd_value(int fd)
{
	return Value{VX_FILE_FD_TYPE, 0, std::string(), new VXFile_FD_Type{fd, 1}};
}

/* A descriptor object owns its descriptor: the last release closes it. */
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
copy_value(const Value &v)
{
	if (v.type == VX_FILE_FD_TYPE)
		v.f->refs++;
	return v;
}

void
release_value(Value &v)
{
	if (v.type == VX_FILE_FD_TYPE && v.f != nullptr)
		fd_release(v.f);
	v.f = nullptr;
}

void
release_values(std::vector<Value> &vs)
{
	for (auto &v : vs)
		release_value(v);
	vs.clear();
}

void
release_stack(void)
{
	release_values(stack);
}

extern "C" int
Vexil_peek_at_stack(void)
{
	if (stack.size() <= stack_floor) {
		stack_overrun = 1;
		return -1;
	}
	return (int)stack.back().type;
}

/* A value of the wrong type is consumed all the same: the call used it. */
static int
pop_typed(VXtype type, Value *out)
{
	Value v;

	if (stack.size() <= stack_floor) {
		stack_overrun = 1;
		return -1;
	}
	v = std::move(stack.back()); /* a copy could allocate inside a module's call */
	stack.pop_back();
	if (v.type != type) {
		release_value(v);
		return -1;
	}
	*out = std::move(v);
	return 0;
}

extern "C" int
Vexil_pop_int(int *ip)
{
	Value v;

	if (ip == nullptr || pop_typed(VX_INT_TYPE, &v) == -1)
		return -1;
	*ip = v.i;
	return 0;
}

extern "C" int
VXfile_pop_fd(VXFile_FD_Type **fp)
{
	Value v;

	if (fp == nullptr || pop_typed(VX_FILE_FD_TYPE, &v) == -1)
		return -1;
	*fp = v.f; /* the stack's reference passes to the caller */
	return 0;
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

typedef int (*handler0)(void);
typedef int (*handler1)(int *);
typedef int (*handler2)(int *, int *);
typedef int (*handler3)(int *, int *, int *);
typedef int (*handler4)(int *, int *, int *, int *);
typedef int (*handler5)(int *, int *, int *, int *, int *);
typedef int (*handler6)(int *, int *, int *, int *, int *, int *);
typedef int (*handler7)(int *, int *, int *, int *, int *, int *, int *);

template <typename F>
static F
handler(FVOID_STAR fun)
{
	return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(fun));
}

static int
invoke(const Vexil_Intrin_Fun_Type *fun, int *a)
{
	switch (fun->num_args) {
	case 0:
		return handler<handler0>(fun->i_fun)();
	case 1:
		return handler<handler1>(fun->i_fun)(a);
	case 2:
		return handler<handler2>(fun->i_fun)(a, a + 1);
	case 3:
		return handler<handler3>(fun->i_fun)(a, a + 1, a + 2);
	case 4:
		return handler<handler4>(fun->i_fun)(a, a + 1, a + 2, a + 3);
	case 5:
		return handler<handler5>(fun->i_fun)(a, a + 1, a + 2, a + 3, a + 4);
	case 6:
		return handler<handler6>(fun->i_fun)(a, a + 1, a + 2, a + 3, a + 4, a + 5);
	default:
		return handler<handler7>(fun->i_fun)(a, a + 1, a + 2, a + 3, a + 4, a + 5, a + 6);
	}
}

/*
 * The script's arguments go on the stack; the declared ones (the last
 * num_args) are popped and passed by pointer, the rest are the handler's
 * to pop.  Whatever it leaves, or takes beyond its own, is an error.
 */
Value
call_intrinsic(const Vexil_Intrin_Fun_Type *fun, std::vector<Value> &args, Pos at)
{
	int slots[VX_MAX_INTRIN_ARGS];
	size_t base, saved_floor;
	int ret, overrun;

	if (args.size() < fun->num_args)
		fail(at, "%s: expects at least %u argument(s), %zu given", fun->name,
		    fun->num_args, args.size());
	base = stack.size();
	stack.reserve(base + args.size());
	for (auto &v : args)
		stack.push_back(std::move(v));
	args.clear(); /* the references now live on the stack */
	for (size_t k = fun->num_args; k-- > 0;) {
		size_t position = stack.size() - base;
		Value v = std::move(stack.back());
		stack.pop_back();
		if (v.type != VX_INT_TYPE)
			fail(at, "%s: argument %zu must be an integer", fun->name, position);
		slots[k] = v.i;
	}

	saved_floor = stack_floor;
	stack_floor = base;
	stack_overrun = 0;
	ret = invoke(fun, slots);
	check_memory();
	overrun = stack_overrun;
	stack_floor = saved_floor;
	stack_overrun = 0;

	if (overrun)
		fail(at, "%s: wanted more arguments than it was given", fun->name);
	if (stack.size() > base) {
		size_t left = stack.size() - base;
		fail(at, "%s: left %zu argument(s) unconsumed", fun->name, left);
	}
	return int_value(ret);
}
