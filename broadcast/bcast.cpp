/* SPDX-License-Identifier: ISC */
/*
 * bcast: send a message to the terminals of another host.
 *
 * The message (two header lines naming sender, host, terminal and time,
 * an empty line, then the body from a file or standard input) is composed
 * in full before the network is touched, then handed to the host's bcastd
 * with one call of the broadcast procedure over ONC RPC/UDP, IPv6 or IPv4.
 */
#include <sys/types.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <sys/socket.h>
#include <netdb.h>

#include <rpc/rpc.h>

#include <fcntl.h>
#include <netconfig.h>
#include <paths.h>
#include <pwd.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "wall.h"

static char *mbuf;			/* the composed message, NUL-terminated */
static int32_t mbufsize;		/* its length without the NUL */
static struct timeval timeout = { 25, 0 };	/* lookup and call together */

static const char notty[] = "no tty";	/* terminal field without a terminal */
static int stdin_closed;		/* descriptor 0 was not open at start */

static void holdstd(void);
static size_t msgmax(void);
static void makemsg(const char *);
static int timeleft(const struct timespec *, struct timeval *);
static CLIENT *reach(const char *, const struct timespec *);

static void __attribute__((noreturn))
usage(const char *name)
{
	(void)fprintf(stderr, "usage: %s hostname [file]\n", name);
	exit(1);
}

static void __attribute__((noreturn))
fail(const char *text)
{
	(void)fputs(text, stderr);
	exit(1);
}

int
main(int argc, char *argv[])
{
	struct timespec start;
	struct timeval left;
	CLIENT *clnt;
	char res;

	if (argc < 2 || argc > 3)
		usage(argv[0] != NULL ? argv[0] : "bcast");

	holdstd();
	makemsg(argc == 3 ? argv[2] : NULL);

	/*
	 * The portmapper lookup has a time-out of its own (60 seconds in
	 * libtirpc): bound it by ours, and give the call what is left.
	 */
	(void)clock_gettime(CLOCK_MONOTONIC, &start);
	if ((clnt = reach(argv[1], &start)) == NULL) {
		clnt_pcreateerror(argv[1]);
		exit(1);
	}
	if (!timeleft(&start, &left)) {
		(void)fprintf(stderr, "%s: %s\n", argv[1], clnt_sperrno(RPC_TIMEDOUT));
		exit(1);
	}
	/* xdr_void is declared without parameters: cast via void (*)(void). */
	if (clnt_call(clnt, WALLPROC_WALL, (xdrproc_t)xdr_wrapstring,
	    (caddr_t)&mbuf, (xdrproc_t)(void (*)(void))xdr_void, (caddr_t)&res,
	    left) != RPC_SUCCESS) {
		clnt_perror(clnt, argv[1]);
		exit(1);
	}
	exit(0);
}

/*
 * A client for HOST through the first of its address families whose
 * portmapper names the program: the families in the order getaddrinfo
 * gives the host's addresses (IPv6 first where it has both), and udp, then
 * udp6, for a name it cannot resolve, as the library's own search for "udp"
 * goes.  The lookups share the one time-out: each may take its share of
 * what is left, so that a family whose packets vanish leaves time for the
 * next.  On failure rpc_createerr holds what the library would report: the
 * last error, unless that says only that the name has no address of its
 * family and an earlier one says more.
 */
static CLIENT *
reach(const char *host, const struct timespec *start)
{
	struct addrinfo hints, *res, *ai;
	enum clnt_stat said = RPC_SUCCESS;
	struct rpc_err said_error;
	struct netconfig *nconf;
	struct timeval left;
	const char *netid, *order[2];
	CLIENT *clnt = NULL;
	long long us;
	int n = 0, i;

	memset(&hints, 0, sizeof(hints));
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_DGRAM;
	if (getaddrinfo(host, NULL, &hints, &res) == 0) {
		for (ai = res; ai != NULL && n < 2; ai = ai->ai_next) {
			netid = ai->ai_family == AF_INET6 ? "udp6" :
			    ai->ai_family == AF_INET ? "udp" : NULL;
			if (netid != NULL && (n == 0 || strcmp(order[0], netid) != 0))
				order[n++] = netid;
		}
		freeaddrinfo(res);
	}
	if (n == 0) {
		order[n++] = "udp";
		order[n++] = "udp6";
	}

	memset(&said_error, 0, sizeof(said_error));
	for (i = 0; i < n && clnt == NULL; i++) {
		if (!timeleft(start, &left)) {
			rpc_createerr.cf_stat = RPC_TIMEDOUT;
			break;
		}
		us = (left.tv_sec * 1000000LL + left.tv_usec) / (n - i);
		left.tv_sec = (time_t)(us / 1000000);
		left.tv_usec = (suseconds_t)(us % 1000000);
		if ((nconf = getnetconfigent(order[i])) == NULL)
			continue;
		clnt = clnt_tp_create_timed(host, WALLPROG, WALLVERS, nconf, &left);
		freenetconfigent(nconf);
		if (clnt == NULL && rpc_createerr.cf_stat != RPC_UNKNOWNHOST &&
		    rpc_createerr.cf_stat != RPC_N2AXLATEFAILURE) {
			said = rpc_createerr.cf_stat;
			said_error = rpc_createerr.cf_error;
		}
	}
	if (clnt == NULL && said != RPC_SUCCESS &&
	    (rpc_createerr.cf_stat == RPC_UNKNOWNHOST ||
	    rpc_createerr.cf_stat == RPC_N2AXLATEFAILURE)) {
		rpc_createerr.cf_stat = said;
		rpc_createerr.cf_error = said_error;
	}
	return clnt;
}

/* What remains of timeout since START, in LEFT; 0 when nothing does. */
static int
timeleft(const struct timespec *start, struct timeval *left)
{
	struct timespec now;
	long long us;

	(void)clock_gettime(CLOCK_MONOTONIC, &now);
	us = timeout.tv_sec * 1000000LL + timeout.tv_usec -
	    ((now.tv_sec - start->tv_sec) * 1000000LL +
	    (now.tv_nsec - start->tv_nsec) / 1000);
	if (us <= 0)
		return 0;
	left->tv_sec = (time_t)(us / 1000000);
	left->tv_usec = (suseconds_t)(us % 1000000);
	return 1;
}

static void __attribute__((noreturn))
readfail(const char *fname)
{
	(void)fprintf(stderr, "wall: can't read %s.\n",
	    fname != NULL ? fname : "standard input");
	exit(1);
}

/*
 * Keep descriptors 0 to 2 taken: the temporary file must not become
 * standard input (and be read as the body) or standard error.
 */
static void
holdstd(void)
{
	int fd;

	stdin_closed = fcntl(STDIN_FILENO, F_GETFD) == -1;
	while ((fd = open(_PATH_DEVNULL, O_RDWR)) != -1 && fd <= STDERR_FILENO)
		;
	if (fd > STDERR_FILENO)
		(void)close(fd);
}

static void __attribute__((noreturn))
toolong(size_t max)
{
	(void)fprintf(stderr,
	    "wall: message too long; at most %zu bytes can be sent.\n", max);
	exit(1);
}

/*
 * The longest message one call can carry: the datagram buffer that the
 * library gives a UDP client handle (UDPMSGSIZE), less the call header
 * with our null credentials, less the length word of the string.
 */
static size_t
msgmax(void)
{
	struct rpc_msg call;
	u_long head;

	memset(&call, 0, sizeof(call));
	call.rm_direction = CALL;
	call.rm_call.cb_rpcvers = RPC_MSG_VERSION;
	call.rm_call.cb_prog = WALLPROG;
	call.rm_call.cb_vers = WALLVERS;
	call.rm_call.cb_proc = WALLPROC_WALL;
	call.rm_call.cb_cred = _null_auth;
	call.rm_call.cb_verf = _null_auth;
	head = xdr_sizeof((xdrproc_t)xdr_callmsg, &call);
	return (UDPMSGSIZE - head - BYTES_PER_XDR_UNIT) &
	    ~(size_t)(BYTES_PER_XDR_UNIT - 1);
}

static const char *
sender(void)
{
	const char *name;
	struct passwd *pw;

	if ((name = getlogin()) != NULL)
		return name;
	if ((pw = getpwuid(getuid())) != NULL)
		return pw->pw_name;
	return "???";
}

static void
makemsg(const char *fname)
{
	char tmpname[] = "/tmp/wall.XXXXXX";
	char hostname[64], lbuf[100];
	const char *who, *tty, *end;
	size_t max, used;
	struct stat sbuf;
	struct tm *lt;
	time_t now;
	FILE *fp;
	int fd, n1, n2;

	/* mkstemp creates the file exclusively, mode 0600; no name outlives it. */
	if ((fd = mkstemp(tmpname)) == -1 || (fp = fdopen(fd, "r+")) == NULL)
		fail("wall: can't open temporary file.\n");
	(void)unlink(tmpname);

	who = sender();
	/* A name that fills the buffer may come back unterminated: cut it. */
	memset(hostname, 0, sizeof(hostname));
	(void)gethostname(hostname, sizeof(hostname));
	hostname[sizeof(hostname) - 1] = '\0';

	(void)time(&now);
	lt = localtime(&now);
	if ((tty = ttyname(STDERR_FILENO)) == NULL)
		tty = notty;

	n1 = fprintf(fp, "Remote Broadcast Message from %s@%s\n",
	    who, hostname);
	n2 = fprintf(fp, "        (%s) at %d:%02d ...\n", tty,
	    lt != NULL ? lt->tm_hour : 0, lt != NULL ? lt->tm_min : 0);
	if (n1 < 0 || n2 < 0 || putc('\n', fp) == EOF)
		fail("wall: can't write temporary file.\n");
	/* Nothing longer can go out: endless input must not fill the disk. */
	max = msgmax();
	used = (size_t)n1 + (size_t)n2 + 1;
	if (used > max)
		toolong(max);

	if (fname != NULL && freopen(fname, "r", stdin) == NULL)
		readfail(fname);
	/* a closed standard input is no empty body */
	if (fname == NULL && stdin_closed)
		readfail(NULL);
	/*
	 * fputs stops at a NUL: the rest of that piece is dropped.  The bytes
	 * read count all the same, or endless NULs would never end: fgets
	 * leaves the buffer past its terminator alone, so after a fill with
	 * newlines the last NUL is the terminator.
	 */
	for (;;) {
		memset(lbuf, '\n', sizeof(lbuf));
		if (fgets(lbuf, sizeof(lbuf), stdin) == NULL)
			break;
		end = (const char *)memrchr(lbuf, '\0', sizeof(lbuf));
		if ((size_t)(end - lbuf) > max - used)
			toolong(max);
		used += (size_t)(end - lbuf);
		if (fputs(lbuf, fp) == EOF)
			fail("wall: can't write temporary file.\n");
	}
	/* a read error is no end of the body: send nothing rather than part */
	if (ferror(stdin))
		readfail(fname);
	/* a full /tmp shows here at the latest; rewind would not tell */
	if (fflush(fp) == EOF)
		fail("wall: can't write temporary file.\n");
	rewind(fp);

	if (fstat(fd, &sbuf) == -1)
		fail("wall: can't stat temporary file.\n");
	/* A size past the 32-bit counter (NUL included) would wrap: refuse it. */
	if (sbuf.st_size < 0 || sbuf.st_size >= INT32_MAX)
		fail("wall: out of memory.\n");
	mbufsize = (int32_t)sbuf.st_size;
	if ((mbuf = (char *)malloc((size_t)mbufsize + 1)) == NULL)
		fail("wall: out of memory.\n");
	if (fread(mbuf, 1, (size_t)mbufsize, fp) != (size_t)mbufsize)
		fail("wall: can't read temporary file.\n");
	mbuf[mbufsize] = '\0';
	(void)fclose(fp);
}
