/* SPDX-License-Identifier: ISC */
/*
 * bcastd's request path under libFuzzer: one datagram in, through the RPC
 * library's UDP transport and the daemon's own dispatch and decoding, the
 * reply and the delivery out.
 *
 * The daemon's source is compiled into this file.  Its delivery child is
 * run in-process: fork() says "child", popen() hands back a memory stream
 * that stands in for wall's input, and the child's _exit() returns to the
 * dispatcher as the parent would, so the same call also sends the reply.
 * hush() must not point our stderr at /dev/null, and exit() during a call
 * is a fault (the daemon runs standalone here).
 *
 * Checked on every input, against our own reading of the datagram:
 *  - at most one reply, with the call's xid;
 *  - procedure 2 answered SUCCESS exactly when the XDR string lies wholly
 *    inside the bytes the transport received, and then wall's input is two
 *    BELs and that string (up to a NUL, as "%s" prints it); GARBAGE_ARGS
 *    and no delivery otherwise;
 *  - procedure 0 answered SUCCESS with no delivery, other procedures
 *    PROC_UNAVAIL;
 *  - nothing is delivered without a SUCCESS reply.
 */
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <rpc/rpc.h>
#include <rpc/pmap_clnt.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <grp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <string>

static pid_t fuzz_fork(void);
static FILE *fuzz_popen(const char *, const char *);
static int fuzz_pclose(FILE *);
static void *fuzz_child_exit(int);
static int fuzz_dup2(int, int);
[[noreturn]] static void fuzz_exit(int);

#define main bcastd_main
#define fork() fuzz_fork()
#define popen(c, m) fuzz_popen(c, m)
#define pclose(f) fuzz_pclose(f)
#define _exit(s) return fuzz_child_exit(s)
#define dup2(a, b) fuzz_dup2(a, b)
#define exit(s) fuzz_exit(s)
#include "bcastd.cc"
#undef main
#undef fork
#undef popen
#undef pclose
#undef _exit
#undef dup2
#undef exit

/* The RPC library's UDP buffer (UDPMSGSIZE): longer datagrams are cut. */
enum { RPC_UDP_BUF = 8800 };

static std::string wall_input;	/* what the delivery wrote to "wall" */
static char *wall_buf;
static size_t wall_len;
static FILE *wall_fp;
static int ndeliveries;

static pid_t
fuzz_fork(void)
{
	return 0;
}

static FILE *
fuzz_popen(const char *command, const char *mode)
{
	if (strcmp(command, "/usr/bin/wall -n") != 0 || strcmp(mode, "w") != 0)
		abort();
	if (wall_fp != NULL)		/* one delivery per child */
		abort();
	wall_fp = open_memstream(&wall_buf, &wall_len);
	return wall_fp;
}

static int
fuzz_pclose(FILE *fp)
{
	if (fp != wall_fp)
		abort();
	(void)fclose(fp);
	wall_input.append(wall_buf, wall_len);
	free(wall_buf);
	wall_buf = NULL;
	wall_fp = NULL;
	ndeliveries++;
	return 0;
}

/* The child is done: carry on as the parent, whose fork returned a pid. */
static void *
fuzz_child_exit(int status)
{
	if (status != 0 || wall_fp != NULL)
		abort();
	return &retval;
}

static int
fuzz_dup2(int, int newfd)
{
	return newfd;
}

static void
fuzz_exit(int status)
{
	fprintf(stderr, "bcastd exited with status %d while serving a call\n", status);
	abort();
}

static SVCXPRT *transp;
static int client = -1;

static void
setup(void)
{
	struct sockaddr_in sin;
	socklen_t len = sizeof(sin);
	int s;

	from_inetd = 0;
	if ((s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) < 0)
		abort();
	memset(&sin, 0, sizeof(sin));
	sin.sin_family = AF_INET;
	sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (bind(s, (struct sockaddr *)&sin, sizeof(sin)) < 0 ||
	    getsockname(s, (struct sockaddr *)&sin, &len) < 0)
		abort();
	if ((transp = svcudp_create(s)) == NULL)
		abort();
	/* protocol 0: not registered with a portmapper */
	if (!svc_register(transp, WALLPROG, WALLVERS, wallprog_1, 0))
		abort();
	if ((client = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) < 0 ||
	    connect(client, (struct sockaddr *)&sin, sizeof(sin)) < 0)
		abort();
	/* room for the largest datagram and a reply waiting at once */
	int size = 1 << 20;
	(void)setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
	(void)setsockopt(client, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

static uint32_t
word(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

/* One serve() step for a datagram that is known to be waiting. */
static void
serve_one(void)
{
	struct pollfd pfd;
	char c;

	pfd.fd = transp->xp_fd;
	pfd.events = POLLIN;
	if (poll(&pfd, 1, 1000) != 1)
		abort();
	dgramlen = recv(pfd.fd, &c, sizeof(c), MSG_PEEK | MSG_TRUNC);
	if (dgramlen < 0)
		abort();
	svc_getreq_poll(&pfd, 1);
	dgramlen = -1;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static uint8_t reply[65536];
	ssize_t n, extra;
	char c;

	/* UDP carries at most 65507 bytes over IPv4 */
	if (size > 65507)
		return -1;
	if (transp == NULL)
		setup();
	wall_input.clear();
	ndeliveries = 0;

	if (send(client, data, size, 0) != (ssize_t)size)
		abort();
	serve_one();
	n = recv(client, reply, sizeof(reply), MSG_DONTWAIT);
	extra = recv(client, &c, 1, MSG_DONTWAIT | MSG_PEEK);
	if (extra >= 0) {
		fprintf(stderr, "two replies to one datagram\n");
		abort();
	}

	if (n < 0) {
		if (errno != EAGAIN)
			abort();
		if (ndeliveries != 0) {
			fprintf(stderr, "a delivery without a reply\n");
			abort();
		}
		return 0;
	}
	/* A reply: xid, REPLY, reply_stat, ... */
	if (n < 12 || size < 4 || word(reply) != word(data) || word(reply + 4) != 1)
		abort();
	uint32_t proc = size >= 24 ? word(data + 20) : ~0u;
	bool ours = size >= 24 && word(data + 12) == WALLPROG && word(data + 16) == WALLVERS;
	if (word(reply + 8) != 0 || !ours) {	/* denied, or the library's answer */
		if (ndeliveries != 0)
			abort();
		return 0;
	}
	if (n < 24)
		abort();
	uint32_t vlen = word(reply + 16);
	if (vlen > 400 || (size_t)n < 24 + ((vlen + 3) & ~3u))
		abort();
	uint32_t stat = word(reply + 20 + ((vlen + 3) & ~3u));

	if (proc == WALLPROC_NULL) {
		if (stat != 0 || ndeliveries != 0)
			abort();
		return 0;
	}
	if (proc != WALLPROC_WALL) {
		if (stat != 3 || ndeliveries != 0)
			abort();
		return 0;
	}

	/* Procedure 2: where the argument starts, past both opaque_auths. */
	/*
	 * The library decodes the header from its whole buffer, so a header
	 * cut short is completed from an earlier datagram's bytes; the
	 * argument then lies beyond this one, and the daemon must refuse it.
	 */
	size_t got = size < RPC_UDP_BUF ? size : RPC_UDP_BUF;
	size_t pos = 24;
	int nauth = 0;
	for (; nauth < 2 && pos + 8 <= got; nauth++)
		pos += 8 + ((word(data + pos + 4) + 3ull) & ~3ull);
	bool fits = nauth == 2 && pos + 4 <= got &&
	    pos + 4 + ((word(data + pos) + 3ull) & ~3ull) <= got;
	if (!fits) {
		if (stat != 4 || ndeliveries != 0) {
			fprintf(stderr, "a string beyond the datagram accepted\n");
			abort();
		}
		return 0;
	}
	if (stat != 0 || ndeliveries != 1) {
		fprintf(stderr, "a well-formed message not delivered (stat %u)\n", stat);
		abort();
	}
	const char *text = (const char *)data + pos + 4;
	std::string want = "\a\a" + std::string(text, strnlen(text, word(data + pos)));
	if (wall_input != want) {
		fprintf(stderr, "wall was given other bytes than the message\n");
		abort();
	}
	return 0;
}
