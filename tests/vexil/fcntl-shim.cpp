/* SPDX-License-Identifier: ISC */
/*
 * fcntl-shim: an LD_PRELOAD library that makes every fcntl call fail with
 * EINTR FCNTL_SHIM_EINTR times before it passes the call on, and reports at
 * exit how many calls went through and how many it interrupted.
 */
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

typedef int (*fcntl_fn)(int, int, ...);

static int interrupts = -1; /* per call, from the environment */
static int left;            /* interrupts still due for the current call */
static unsigned passed, interrupted;

static int
shim(const char *name, int fd, int cmd, void *arg)
{
	fcntl_fn real;

	if (interrupts < 0) {
		const char *v = getenv("FCNTL_SHIM_EINTR");
		interrupts = left = v != nullptr ? atoi(v) : 0;
	}
	if (left > 0) {
		left--;
		interrupted++;
		errno = EINTR;
		return -1;
	}
	left = interrupts;
	passed++;
	if ((real = reinterpret_cast<fcntl_fn>(dlsym(RTLD_NEXT, name))) == nullptr) {
		errno = ENOSYS;
		return -1;
	}
	return real(fd, cmd, arg);
}

extern "C" __attribute__((visibility("default"))) int
fcntl(int fd, int cmd, ...)
{
	va_list ap;
	void *arg;

	va_start(ap, cmd);
	arg = va_arg(ap, void *);
	va_end(ap);
	return shim("fcntl", fd, cmd, arg);
}

extern "C" __attribute__((visibility("default"))) int
fcntl64(int fd, int cmd, ...)
{
	va_list ap;
	void *arg;

	va_start(ap, cmd);
	arg = va_arg(ap, void *);
	va_end(ap);
	return shim("fcntl64", fd, cmd, arg);
}

__attribute__((destructor)) static void
report(void)
{
	fprintf(stderr, "fcntl-shim: %u calls, %u interrupted\n", passed, interrupted);
}
