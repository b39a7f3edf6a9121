/* SPDX-License-Identifier: ISC */
/*
 * bcastd-portmap: make or remove the portmapper's mapping for a bcastd
 * whose UDP socket is held by someone who does not speak to the
 * portmapper (systemd's bcastd.socket), so that bcast finds it exactly as
 * it finds one started by inetd.
 *
 * usage: bcastd-portmap set port | unset
 */
#include <netinet/in.h>

#include <rpc/rpc.h>
#include <rpc/pmap_clnt.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wall.h"

static void usage(void);
static unsigned short parseport(const char *);

int
main(int argc, char *argv[])
{
	unsigned short port;

	if (argc == 3 && strcmp(argv[1], "set") == 0) {
		port = parseport(argv[2]);
		/* A mapping left by a socket that died unannounced would make
		 * the set fail: the port given now is the one that counts. */
		(void)pmap_unset(WALLPROG, WALLVERS);
		if (!pmap_set(WALLPROG, WALLVERS, IPPROTO_UDP, port)) {
			fprintf(stderr, "bcastd-portmap: can't register port %u "
			    "with the portmapper\n", port);
			exit(1);
		}
	} else if (argc == 2 && strcmp(argv[1], "unset") == 0) {
		if (!pmap_unset(WALLPROG, WALLVERS)) {
			fprintf(stderr, "bcastd-portmap: can't remove the "
			    "portmapper's mapping\n");
			exit(1);
		}
	} else
		usage();
	exit(0);
}

static void
usage(void)
{
	fprintf(stderr, "usage: bcastd-portmap set port | unset\n");
	exit(1);
}

/* Whole decimal numbers from 1 to 65535 only: "1033x" is a typing error. */
static unsigned short
parseport(const char *s)
{
	char *end;
	long n;

	errno = 0;
	n = strtol(s, &end, 10);
	if (errno != 0 || end == s || *end != '\0' || n < 1 || n > 65535) {
		fprintf(stderr, "bcastd-portmap: %s: not a port number\n", s);
		exit(1);
	}
	return static_cast<unsigned short>(n);
}
