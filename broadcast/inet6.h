/* SPDX-License-Identifier: ISC */
/*
 * What bcastd and bcastd-portmap both need to know of IPv6: whether the
 * host has it, and how to drop the udp6 mapping of the program.
 */
#ifndef INET6_H
#define INET6_H

#include <sys/socket.h>
#include <net/if.h>

#include <rpc/rpc.h>

#include <ifaddrs.h>
#include <netconfig.h>

#include "wall.h"

/* Whether an interface that is up has an IPv6 address (::1 at least). */
static inline int
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

/*
 * Remove the udp6 mapping of (WALLPROG, WALLVERS), if any; the portmapper
 * calls for IPv4 leave it alone.
 */
static inline void
unset6(void)
{
	struct netconfig *nconf;

	if ((nconf = getnetconfigent("udp6")) == NULL)
		return;
	(void)rpcb_unset(WALLPROG, WALLVERS, nconf);
	freenetconfigent(nconf);
}

#endif
