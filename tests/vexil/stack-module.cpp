/* SPDX-License-Identifier: ISC */
/*
 * A module for testing the host: handlers that pop fewer or more values
 * than they were given, one with two declared arguments, one that sets the
 * script's errno, and a deinit that says when it runs.
 */
#include <unistd.h>

#include "vexil.h"

#define CAT3(a, b, c) a##b##c
#define NAME3(a, b, c) CAT3(a, b, c)
#define EXPORT __attribute__((visibility("default")))

extern "C" {
EXPORT int NAME3(VXmodule_, MODULE, _api_version) = API_VERSION;
EXPORT int NAME3(init_, MODULE, _module_ns)(char *ns_name);
EXPORT void NAME3(deinit_, MODULE, _module)(void);
}

/* Returns a value but pops nothing. */
static int
stack_keep(void)
{
	return 7;
}

/* Pops two undeclared integers and adds them. */
static int
stack_grab(void)
{
	int a, b;

	if (Vexil_pop_int(&b) == -1 || Vexil_pop_int(&a) == -1)
		return -1;
	return a + b;
}

static int
stack_sub(int *a, int *b)
{
	return *a - *b;
}

static int
stack_set_errno(int *e)
{
	VXerrno_set_errno(*e);
	return 0;
}

/* The type code of the top value, which it leaves in place. */
static int
stack_peek(void)
{
	return Vexil_peek_at_stack();
}

static Vexil_Intrin_Fun_Type Stack_Intrinsics[] = {
	{"stack_keep", nullptr, VX_INTRINSIC_CLASS, VX_INTRIN_FUN(stack_keep),
	    {0, 0, 0, 0, 0, 0, 0}, 0, VX_INT_TYPE},
	{"stack_grab", nullptr, VX_INTRINSIC_CLASS, VX_INTRIN_FUN(stack_grab),
	    {0, 0, 0, 0, 0, 0, 0}, 0, VX_INT_TYPE},
	{"stack_sub", nullptr, VX_INTRINSIC_CLASS, VX_INTRIN_FUN(stack_sub),
	    {VX_INT_TYPE, VX_INT_TYPE, 0, 0, 0, 0, 0}, 2, VX_INT_TYPE},
	{"stack_set_errno", nullptr, VX_INTRINSIC_CLASS, VX_INTRIN_FUN(stack_set_errno),
	    {VX_INT_TYPE, 0, 0, 0, 0, 0, 0}, 1, VX_INT_TYPE},
	{"stack_peek", nullptr, VX_INTRINSIC_CLASS, VX_INTRIN_FUN(stack_peek),
	    {0, 0, 0, 0, 0, 0, 0}, 0, VX_INT_TYPE},
	{nullptr, nullptr, VX_INTRINSIC_CLASS, nullptr, {0, 0, 0, 0, 0, 0, 0}, 0, 0},
};

int
NAME3(init_, MODULE, _module_ns)(char *ns_name)
{
	Vexil_NameSpace_Type *ns;

	if ((ns = VXns_create_namespace(ns_name)) == nullptr)
		return -1;
	return VXns_add_intrin_fun_table(ns, Stack_Intrinsics, "__STACK__") == -1 ? -1 : 0;
}

void
NAME3(deinit_, MODULE, _module)(void)
{
	static const char msg[] = "stack-module: deinit\n";

	(void)!write(2, msg, sizeof msg - 1);
}
