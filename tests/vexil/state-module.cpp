/* SPDX-License-Identifier: ISC */
/*
 * A module that owns heap state from init to deinit and, as a careless
 * module may, frees it in deinit without forgetting it: a host that calls
 * deinit twice makes it free the same block twice, which the allocator
 * (or, in the sanitizer build, ASan) turns into a failed run.
 */
#include <stdlib.h>

#include "vexil.h"

#define EXPORT __attribute__((visibility("default")))

extern "C" {
EXPORT int VXmodule_state_api_version = VEXIL_API_VERSION;
EXPORT int init_state_module_ns(char *ns_name);
EXPORT void deinit_state_module(void);
}

static int *state;

int
init_state_module_ns(char *ns_name)
{
	if (VXns_create_namespace(ns_name) == nullptr)
		return -1;
	if ((state = static_cast<int *>(malloc(sizeof *state))) == nullptr)
		return -1;
	*state = 1;
	return 0;
}

void
deinit_state_module(void)
{
	free(state);
}
