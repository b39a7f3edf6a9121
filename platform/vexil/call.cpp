/* SPDX-License-Identifier: ISC */
/*
 * call.cpp: how the host calls a module's intrinsic function.  The
 * script's arguments go on the argument stack; the declared ones are
 * popped here and passed by pointer, and the handler pops the rest
 * through the stack operations of vexil.h, which are defined here.  A
 * handler sees only its own arguments: what lies below them belongs to
 * an outer call, and reaching for it is an error, as is leaving any of
 * its own behind.
 */
#include <utility>

#include "host.h"

static std::vector<Value> stack;
static size_t stack_floor; /* values below belong to an outer call */
static int stack_overrun;  /* the running handler popped past its arguments */

void
release_stack(void)
{
	stack.clear();
}

extern "C" int
Vexil_peek_at_stack(void)
{
	if (stack.size() <= stack_floor) {
		stack_overrun = 1;
		return -1;
	}
	return (int)stack.back().type();
}

/* A value of the wrong type is consumed all the same: the call used it. */
static int
pop_typed(VXtype type, Value *out)
{
	if (stack.size() <= stack_floor) {
		stack_overrun = 1;
		return -1;
	}
	Value v = std::move(stack.back()); /* a copy could allocate inside a module's call */
	stack.pop_back();
	if (v.type() != type)
		return -1;
	*out = std::move(v);
	return 0;
}

extern "C" int
Vexil_pop_int(int *ip)
{
	Value v;

	if (ip == nullptr || pop_typed(VX_INT_TYPE, &v) == -1)
		return -1;
	*ip = v.i();
	return 0;
}

extern "C" int
VXfile_pop_fd(VXFile_FD_Type **fp)
{
	Value v;

	if (fp == nullptr || pop_typed(VX_FILE_FD_TYPE, &v) == -1)
		return -1;
	*fp = v.hand_over(); /* the stack's reference passes to the caller */
	return 0;
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
 * The stack as one handler sees it, from the floor at BASE up, for as
 * long as the handler runs; the outer floor comes back however the call
 * ends.
 */
class HandlerFrame {
public:
	explicit HandlerFrame(size_t base) : saved_floor_(stack_floor)
	{
		stack_floor = base;
		stack_overrun = 0;
	}
	~HandlerFrame()
	{
		stack_floor = saved_floor_;
		stack_overrun = 0;
	}
	HandlerFrame(const HandlerFrame &) = delete;
	HandlerFrame &operator=(const HandlerFrame &) = delete;

	bool overran() const { return stack_overrun != 0; }

private:
	size_t saved_floor_;
};

/*
 * The script's arguments go on the stack; the declared ones (the last
 * num_args) are popped and passed by pointer, the rest are the handler's
 * to pop.  Whatever it leaves, or takes beyond its own, is an error.
 */
Value
call_intrinsic(const Vexil_Intrin_Fun_Type *fun, std::vector<Value> &&args, Pos at)
{
	int slots[VX_MAX_INTRIN_ARGS];
	size_t base;
	int ret;
	bool overrun;

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
		if (v.type() != VX_INT_TYPE)
			fail(at, "%s: argument %zu must be an integer", fun->name, position);
		slots[k] = v.i();
	}

	{
		HandlerFrame frame(base);
		ret = invoke(fun, slots);
		check_memory();
		overrun = frame.overran();
	}
	if (overrun)
		fail(at, "%s: wanted more arguments than it was given", fun->name);
	if (stack.size() > base) {
		size_t left = stack.size() - base;
		fail(at, "%s: left %zu argument(s) unconsumed", fun->name, left);
	}
	return Value::integer(ret);
}
