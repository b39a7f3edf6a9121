/* SPDX-License-Identifier: ISC */
/*
 * builtin.cpp: the functions the host itself gives every script (print,
 * open and the descriptor objects, errno, modules and what they defined)
 * and the integer constants of the Global namespace.  A built-in takes
 * its evaluated arguments as values, checks their types, and returns one.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>

#include "host.h"

static const Vexil_IConstant_Type global_consts[] = {
	{"O_RDONLY", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_RDONLY},
	{"O_WRONLY", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_WRONLY},
	{"O_RDWR", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_RDWR},
	{"O_CREAT", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_CREAT},
	{"O_TRUNC", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_TRUNC},
	{"O_APPEND", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_APPEND},
	{"O_NONBLOCK", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_NONBLOCK},
	{"O_CLOEXEC", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_CLOEXEC},
	{"EBADF", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, EBADF},
	{"EINTR", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, EINTR},
	{"EINVAL", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, EINVAL},
	{"ENOENT", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, ENOENT},
	{nullptr, nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, 0},
};

static void
need(const std::vector<Value> &args, size_t k, VXtype type, const char *fname, Pos at)
{
	static const char *what[] = {"an integer", "a string", "a descriptor object"};
	int w = type == VX_INT_TYPE ? 0 : type == VX_STRING_TYPE ? 1 : 2;

	if (args[k].type() != type)
		fail(at, "%s: argument %zu must be %s", fname, k + 1, what[w]);
}

static void
print_value(const Value &v)
{
	if (v.type() == VX_INT_TYPE)
		printf("%d", v.i());
	else if (v.type() == VX_STRING_TYPE)
		fputs(v.s().c_str(), stdout);
	else
		printf("<descriptor %d>", v.f()->fd);
}

static Value
b_print(const std::vector<Value> &args, Pos)
{
	for (size_t k = 0; k < args.size(); k++) {
		if (k > 0)
			putchar(' ');
		print_value(args[k]);
	}
	putchar('\n');
	return Value::integer(0);
}

/* open(path, flags [, mode]): a descriptor object, or -1 and errno. */
static Value
b_open(const std::vector<Value> &args, Pos at)
{
	int fd, mode = 0666;

	need(args, 0, VX_STRING_TYPE, "open", at);
	need(args, 1, VX_INT_TYPE, "open", at);
	if (args.size() > 2) {
		need(args, 2, VX_INT_TYPE, "open", at);
		mode = args[2].i();
	}
	if ((fd = open(args[0].s().c_str(), args[1].i(), (mode_t)mode)) == -1) {
		vexil_errno = errno;
		return Value::integer(-1);
	}
	return Value::descriptor(fd);
}

static Value
b_fileno(const std::vector<Value> &args, Pos at)
{
	need(args, 0, VX_FILE_FD_TYPE, "fileno", at);
	return Value::integer(args[0].f()->fd);
}

/* References to a descriptor object besides the argument itself. */
static Value
b_refcount(const std::vector<Value> &args, Pos at)
{
	need(args, 0, VX_FILE_FD_TYPE, "refcount", at);
	return Value::integer((int)args[0].f()->refs - 1);
}

static Value
b_errno_string(const std::vector<Value> &args, Pos at)
{
	int e = vexil_errno;

	if (!args.empty()) {
		need(args, 0, VX_INT_TYPE, "errno_string", at);
		e = args[0].i();
	}
	return Value::string(strerror(e));
}

static Value
b_has_feature(const std::vector<Value> &args, Pos at)
{
	need(args, 0, VX_STRING_TYPE, "has_feature", at);
	return Value::integer(has_feature(args[0].s()));
}

/* is_defined("[ns.]name"): 1 intrinsic, 2 integer constant, 3 host function, 0 none. */
static Value
b_is_defined(const std::vector<Value> &args, Pos at)
{
	QualifiedName q;
	int value;

	need(args, 0, VX_STRING_TYPE, "is_defined", at);
	q = split_name(args[0].s());
	if (find_intrinsic(q) != nullptr)
		return Value::integer(1);
	if (find_iconstant(q, &value))
		return Value::integer(2);
	if (!q.qualified && find_builtin(q.name) != nullptr)
		return Value::integer(3);
	return Value::integer(0);
}

static Value
b_import(const std::vector<Value> &args, Pos at)
{
	need(args, 0, VX_STRING_TYPE, "import", at);
	if (args.size() > 1)
		need(args, 1, VX_STRING_TYPE, "import", at);
	return Value::integer(load_module(args[0].s().c_str(),
	    args.size() > 1 ? args[1].s().c_str() : GLOBAL_NAMESPACE));
}

static Value
b_deinit(const std::vector<Value> &args, Pos at)
{
	need(args, 0, VX_STRING_TYPE, "deinit", at);
	return Value::integer(deinit_module(args[0].s()));
}

static const Builtin builtins[] = {
	{"print", 0, 32, b_print},
	{"open", 2, 3, b_open},
	{"fileno", 1, 1, b_fileno},
	{"refcount", 1, 1, b_refcount},
	{"errno_string", 0, 1, b_errno_string},
	{"has_feature", 1, 1, b_has_feature},
	{"is_defined", 1, 1, b_is_defined},
	{"import", 1, 2, b_import},
	{"deinit", 1, 1, b_deinit},
};

const Builtin *
find_builtin(const std::string &name)
{
	for (auto &b : builtins)
		if (name == b.name)
			return &b;
	return nullptr;
}

/* The call takes the arguments, and their references go when it returns. */
Value
call_builtin(const Builtin *b, std::vector<Value> args, Pos at)
{
	if (args.size() < b->min_args || args.size() > b->max_args)
		fail(at, "%s: wrong number of arguments (%zu)", b->name, args.size());
	return b->fn(args, at);
}

/* The Global namespace with the host's own constants: 0 or -1. */
int
define_globals(void)
{
	return add_iconstants(create_namespace(GLOBAL_NAMESPACE), global_consts, nullptr);
}
