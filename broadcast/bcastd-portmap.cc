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
#include <arpa/inet.h>
#include <netinet/in.h>

#include <rpc/rpc.h>
#include <rpc/pmap_clnt.h>
#include <rpc/pmap_prot.h>

#include <netconfig.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "inet6.h"
#include "wall.h"

static void usage(void);
static unsigned short parseport(const char *);
static int mapped(void);
static int mapped4(void);
static int mapped6(void);
static void unset(void);
static int set6(unsigned short);

int
main(int argc, char *argv[])
{
	unsigned short port;

	if (argc == 3 && strcmp(argv[1], "set") == 0) {
		port = parseport(argv[2]);
		/* A mapping left by a socket that died unannounced would make
		 * the set fail: the port given now is the one that counts. */
		(void)pmap_unset(WALLPROG, WALLVERS);
		unset6();
		if (!pmap_set(WALLPROG, WALLVERS, IPPROTO_UDP, port) ||
		    (has_ipv6() && !set6(port))) {
			fprintf(stderr, "bcastd-portmap: can't register port %u "
			    "with the portmapper\n", port);
			exit(1);
		}
	} else if (argc == 2 && strcmp(argv[1], "unset") == 0) {
		unset();
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

/*
 * Whole decimal numbers from 1 to 65535, digits only: strtol's leading
 * blanks and sign would let " 1033" or "+1034" through, and "1033x" is a
 * typing error too.
 */
static unsigned short
parseport(const char *s)
{
	unsigned long n = 0;
	const char *p;

	for (p = s; *p >= '0' && *p <= '9' && n <= 65535; p++)
		n = n * 10 + static_cast<unsigned long>(*p - '0');
	if (p == s || *p != '\0' || n < 1 || n > 65535) {
		fprintf(stderr, "bcastd-portmap: %s: not a port number\n", s);
		exit(1);
	}
	return static_cast<unsigned short>(n);
}

/*
 * Whether the local portmapper maps our program and version: 1 or 0, -1
 * when it cannot be asked.  It is asked over IPv4 and, where the host has
 * IPv6, over IPv6 too; a family it cannot be reached by counts as mapping
 * nothing while the other answers (an IPv6-only host has no 127.0.0.1).
 */
static int
mapped(void)
{
	int v4 = mapped4(), v6 = has_ipv6() ? mapped6() : -1;

	if (v4 == 1 || v6 == 1)
		return 1;
	return v4 == -1 && v6 == -1 ? -1 : 0;
}

/* The IPv4 mappings, over UDP or TCP (pmap_unset removes both). */
static int
mapped4(void)
{
	static const int protocols[] = { IPPROTO_UDP, IPPROTO_TCP };
	struct sockaddr_in sin;
	int found = 0;

	for (int proto : protocols) {
		memset(&sin, 0, sizeof(sin));
		sin.sin_family = AF_INET;
		sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		sin.sin_port = htons(PMAPPORT);
		if (pmap_getport(&sin, WALLPROG, WALLVERS, proto) != 0)
			found = 1;
		else if (rpc_createerr.cf_stat != RPC_PROGNOTREGISTERED)
			return -1;
	}
	return found;
}

/*
 * The portmapper answers an unset with success whether or not it removed
 * anything (nothing mapped, or a mapping of another owner kept), so what
 * it maps is asked before and after.
 */
static void
unset(void)
{
	switch (mapped()) {
	case -1:
		fprintf(stderr, "bcastd-portmap: can't reach the portmapper\n");
		exit(1);
	case 0:
		fprintf(stderr, "bcastd-portmap: program %u version %u is not mapped\n",
		    WALLPROG, WALLVERS);
		exit(1);
	}
	if (!pmap_unset(WALLPROG, WALLVERS)) {
		fprintf(stderr, "bcastd-portmap: can't remove the portmapper's mapping\n");
		exit(1);
	}
	unset6();
	switch (mapped()) {
	case -1:
		fprintf(stderr, "bcastd-portmap: can't reach the portmapper\n");
		exit(1);
	case 1:
		fprintf(stderr, "bcastd-portmap: the portmapper refused to remove "
		    "the mapping\n");
		exit(1);
	}
}

/* The udp6 mapping, asked of rpcbind on ::1. */
static int
mapped6(void)
{
	struct netconfig *nconf;
	struct netbuf addr;
	char buf[128];
	bool_t found;

	if ((nconf = getnetconfigent("udp6")) == NULL)
		return -1;
	addr.maxlen = sizeof(buf);
	addr.len = 0;
	addr.buf = buf;
	found = rpcb_getaddr(WALLPROG, WALLVERS, nconf, &addr, "::1");
	freenetconfigent(nconf);
	if (found)
		return 1;
	return rpc_createerr.cf_stat == RPC_PROGNOTREGISTERED ? 0 : -1;
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

