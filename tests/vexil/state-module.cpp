/* SPDX-License-Identifier: ISC */
/*
 * A module that takes heap state in every init and gives back one in every
 * deinit, as a module that keeps per-namespace state does.  It holds its
 * host to the pairing: a deinit with no init left to match it, or an init
 * still unmatched when the process exits, ends the run with a message (the
 * first would be a double free, the second a leak, in a careless module).
 */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "vexil.h"

#define EXPORT __attribute__((visibility("default")))

extern "C" {
EXPORT int VXmodule_state_api_version = VEXIL_API_VERSION;
EXPORT int init_state_module_ns(char *ns_name);
EXPORT void deinit_state_module(void);
}

struct state {
	struct state *next;
};

static struct state *states; /* one per init not yet deinitialised */

int
init_state_module_ns(char *ns_name)
{
	struct state *s;

	if (VXns_create_namespace(ns_name) == nullptr)
		return -1;
	if ((s = static_cast<struct state *>(malloc(sizeof *s))) == nullptr)
		return -1;
	s->next = states;
	states = s;
	return 0;
}

void
deinit_state_module(void)
{
	struct state *s = states;

	if (s == nullptr) {
		fputs("state-module: deinit without an init to match it\n", stderr);
		abort();
	}
	states = s->next;
	free(s);
}

__attribute__((destructor)) static void
check_pairs(void)
{
	unsigned n = 0;

	for (struct state *s = states; s != nullptr; s = s->next)
		n++;
	if (n > 0) {
		fprintf(stderr, "state-module: %u init(s) without a deinit\n", n);
		_exit(1);
	}
}
