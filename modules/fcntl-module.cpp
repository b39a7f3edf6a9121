/* SPDX-License-Identifier: ISC */
/*
 * fcntl-module: descriptor flags and file status flags for Vexil scripts.
 *
 * Four script functions wrap fcntl(2) with F_GETFD, F_SETFD, F_GETFL and
 * F_SETFL; FD_CLOEXEC and O_ACCMODE go with them.  The module keeps no
 * state: it hands two static tables to the interpreter and from then on
 * only runs its handlers.  Failures return -1 and pass errno to the
 * interpreter; nothing is printed.
 */
#include <errno.h>
#include <fcntl.h>

#include "vexil.h"

#define EXPORT __attribute__((visibility("default")))

extern "C" {
EXPORT int VXmodule_fcntl_api_version = VEXIL_API_VERSION;
EXPORT int init_fcntl_module_ns(char *ns_name);
EXPORT void deinit_fcntl_module(void);
}

static int fcntl_getfd(void);
static int fcntl_setfd(int *flags);
static int fcntl_getfl(void);
static int fcntl_setfl(int *flags);

/* The descriptor is never declared: it lies beneath the declared flags. */
static Vexil_Intrin_Fun_Type Fcntl_Intrinsics[] = {
	{"fcntl_getfd", nullptr, VX_INTRINSIC_CLASS, VX_INTRIN_FUN(fcntl_getfd),
	    {0, 0, 0, 0, 0, 0, 0}, 0, VX_INT_TYPE},
	{"fcntl_setfd", nullptr, VX_INTRINSIC_CLASS, VX_INTRIN_FUN(fcntl_setfd),
	    {VX_INT_TYPE, 0, 0, 0, 0, 0, 0}, 1, VX_INT_TYPE},
	{"fcntl_getfl", nullptr, VX_INTRINSIC_CLASS, VX_INTRIN_FUN(fcntl_getfl),
	    {0, 0, 0, 0, 0, 0, 0}, 0, VX_INT_TYPE},
	{"fcntl_setfl", nullptr, VX_INTRINSIC_CLASS, VX_INTRIN_FUN(fcntl_setfl),
	    {VX_INT_TYPE, 0, 0, 0, 0, 0, 0}, 1, VX_INT_TYPE},
	{nullptr, nullptr, VX_INTRINSIC_CLASS, nullptr, {0, 0, 0, 0, 0, 0, 0}, 0, 0},
};

static Vexil_IConstant_Type Fcntl_Consts[] = {
	{"FD_CLOEXEC", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, FD_CLOEXEC},
	{"O_ACCMODE", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_ACCMODE},
	{nullptr, nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, 0},
};

/* An interrupted call is not an error: 0 asks the caller to repeat it. */
static int
check_and_set_errno(int e)
{
	if (e == EINTR)
		return 0;
	VXerrno_set_errno(e);
	return -1;
}

static int
do_fcntl_2(int fd, int cmd)
{
	int ret;

	while ((ret = fcntl(fd, cmd)) == -1) {
		if (check_and_set_errno(errno) == -1)
			break;
	}
	return ret;
}

static int
do_fcntl_3_int(int fd, int cmd, int flags)
{
	int ret;

	while ((ret = fcntl(fd, cmd, flags)) == -1) {
		if (check_and_set_errno(errno) == -1)
			break;
	}
	return ret;
}

/*
 * The descriptor may be a plain integer or a descriptor object.  An object
 * is handed back in *held and released only after the system call: the
 * script's temporary, such as open(...) written in the call, may be the
 * last reference, and releasing it closes the descriptor.
 */
static int
pop_fd(int *fdp, VXFile_FD_Type **held)
{
	*held = nullptr;
	if (Vexil_peek_at_stack() == VX_INT_TYPE)
		return Vexil_pop_int(fdp);
	if (VXfile_pop_fd(held) == -1) {
		*held = nullptr;
		return -1;
	}
	return VXfile_get_fd(*held, fdp);
}

/* The object popped with the descriptor, if any, goes once the call is made. */
static int
release_fd(VXFile_FD_Type *held, int ret)
{
	if (held != nullptr)
		VXfile_free_fd(held);
	return ret;
}

static int
fcntl_getfd(void)
{
	VXFile_FD_Type *held;
	int fd;

	if (pop_fd(&fd, &held) == -1)
		return release_fd(held, -1);
	return release_fd(held, do_fcntl_2(fd, F_GETFD));
}

static int
fcntl_setfd(int *flags)
{
	VXFile_FD_Type *held;
	int fd;

	if (pop_fd(&fd, &held) == -1)
		return release_fd(held, -1);
	return release_fd(held, do_fcntl_3_int(fd, F_SETFD, *flags));
}

static int
fcntl_getfl(void)
{
	VXFile_FD_Type *held;
	int fd;

	if (pop_fd(&fd, &held) == -1)
		return release_fd(held, -1);
	return release_fd(held, do_fcntl_2(fd, F_GETFL));
}

static int
fcntl_setfl(int *flags)
{
	VXFile_FD_Type *held;
	int fd;

	if (pop_fd(&fd, &held) == -1)
		return release_fd(held, -1);
	return release_fd(held, do_fcntl_3_int(fd, F_SETFL, *flags));
}

int
init_fcntl_module_ns(char *ns_name)
{
	Vexil_NameSpace_Type *ns;

	if ((ns = VXns_create_namespace(ns_name)) == nullptr)
		return -1;
	if (VXns_add_intrin_fun_table(ns, Fcntl_Intrinsics, "__FCNTL__") == -1)
		return -1;
	/* The functions stay registered if the constants fail. */
	if (VXns_add_iconstant_table(ns, Fcntl_Consts, nullptr) == -1)
		return -1;
	return 0;
}

/* Nothing to release: the tables are static and never change. */
void
deinit_fcntl_module(void)
{
}
