/* SPDX-License-Identifier: ISC */
/*
 * bcastd-portmap: make or remove the portmapper's mapping for a bcastd
 * whose UDP socket is held by someone who does not speak to the
 * portmapper (systemd's bcastd.socket), so that bcast finds it exactly as
 * it finds one started by inetd.  Such a socket listens on IPv6 and IPv4
 * alike, so where the host has IPv6 the port is mapped for udp6 as well.
 *
 * usage: bcastd-portmap set port | unset
 */
#include <sys/socket.h>
#include <netinet/in.h>
#include <net/if.h>

#include <rpc/rpc.h>
#include <rpc/pmap_clnt.h>

#include <errno.h>
#include <ifaddrs.h>
#include <netconfig.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wall.h"

static void usage(void);
static unsigned short parseport(const char *);
static int has_ipv6(void);
static int set6(unsigned short);
static int unset6(void);

int
main(int argc, char *argv[])
{
	unsigned short port;

	if (argc == 3 && strcmp(argv[1], "set") == 0) {
		port = parseport(argv[2]);
		/* A mapping left by a socket that died unannounced would make
		 * the set fail: the port given now is the one that counts. */
		(void)pmap_unset(WALLPROG, WALLVERS);
		(void)unset6();
		if (!pmap_set(WALLPROG, WALLVERS, IPPROTO_UDP, port) ||
		    (has_ipv6() && !set6(port))) {
			fprintf(stderr, "bcastd-portmap: can't register port %u "
			    "with the portmapper\n", port);
			exit(1);
		}
	} else if (argc == 2 && strcmp(argv[1], "unset") == 0) {
		if (!pmap_unset(WALLPROG, WALLVERS) || !unset6()) {
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

/* Whether an interface that is up has an IPv6 address (::1 at least). */
static int
has_ipv6(void)
{
	struct ifaddrs *ifa, *p;
	int found = 0;

	if (getifaddrs(&ifa) == -1)
		return 0;
	for (p = ifa; p != NULL && !found; p = p->ifa_next)
		found = p->ifa_addr != NULL && p->ifa_addr->sa_family == AF_INET6 &&
		    (p->ifa_flags & IFF_UP);
	freeifaddrs(ifa);
	return found;
}

/* Map udp6 to PORT on the wildcard address, as rpcbind writes it. */
static int
set6(unsigned short port)
{
	struct netconfig *nconf;
	struct netbuf *addr;
	char uaddr[sizeof("::.255.255")];
	bool_t ok;

	if ((nconf = getnetconfigent("udp6")) == NULL)
		return 0;
	(void)snprintf(uaddr, sizeof(uaddr), "::.%u.%u", port >> 8, port & 0xff);
	if ((addr = uaddr2taddr(nconf, uaddr)) == NULL) {
		freenetconfigent(nconf);
		return 0;
	}
	ok = rpcb_set(WALLPROG, WALLVERS, nconf, addr);
	free(addr->buf);
	free(addr);
	freenetconfigent(nconf);
	return ok;
}

/* Remove the udp6 mapping; true also when there was none to remove. */
static int
unset6(void)
{
	struct netconfig *nconf;

	if ((nconf = getnetconfigent("udp6")) == NULL)
		return 1;
	(void)rpcb_unset(WALLPROG, WALLVERS, nconf);
	freenetconfigent(nconf);
	return 1;
}
