/* SPDX-License-Identifier: ISC */
/*
 * bcastd: the remote broadcast daemon.  Answers WALLPROG calls over UDP and
 * shows each message on every terminal of this host through wall(1).
 *
 * Started by inetd (a socket on descriptor 0) it serves one call and exits;
 * started by hand it registers with the portmapper and serves until killed.
 */
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>

#include <rpc/rpc.h>
#include <rpc/pmap_clnt.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <grp.h>
#include <netconfig.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "inet6.h"
#include "wall.h"

/*
 * Delivery children alive at once.  Calls are unauthenticated, so without a
 * bound a flood fills the process table.  Each delivery takes three
 * processes (child, shell, wall) for the few milliseconds wall needs: 64 is
 * ample for bursts from many senders and far below any process limit.
 */
#define MAXKIDS	64

/* Lines about messages dropped at the bound: at most one a minute. */
#define DROPLOGGAP	60000	/* milliseconds */

static int from_inetd = 1;
static int nodaemon = 0;
static unsigned int retval;
static volatile sig_atomic_t nkids;	/* delivery children not yet reaped */
static ssize_t dgramlen = -1;		/* length of the datagram being served */
static volatile sig_atomic_t stopped;	/* a stop signal has come */
static sigset_t stops;			/* the signals that stop a standalone daemon */
static sigset_t waitmask;		/* the signal mask while waiting for calls */
static unsigned long ndropped;		/* messages dropped at the bound, untold */
static int dropping;			/* the log has been told that drops began */
static long long droplogat;		/* when the next line about drops may go */

static void possess(void);
static void cloexec(int);
static int groups_of(const struct passwd *);
static int groups_are(const struct passwd *, gid_t);
static void killkids(int);
static void stoppable(void);
static void stop(int);
static SVCXPRT *udp6_service(void);
static void serve(SVCXPRT *, SVCXPRT *);
static int droplog(void);
static void wallprog_1(struct svc_req *, SVCXPRT *);
static void *wallproc_wall_1(char **, struct svc_req *);
static void unstop(void);
static void hush(void);
static bool_t xdr_message(XDR *, char **);

/* The library takes every filter through one variadic pointer type. */
#define XDRPROC(f)	reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)(void)>(f))

int
main(int argc, char *argv[])
{
	struct sockaddr_in sin;
	socklen_t len = sizeof(sin);
	struct passwd *pw;
	struct group *gr;
	SVCXPRT *transp, *transp6 = NULL;
	int sock = 0, proto = 0, s, notty = 0;
	gid_t ttygid = 0;

	if (argc == 2 && strcmp(argv[1], "-n") == 0)
		nodaemon = 1;
	if (argc > 1 && !nodaemon) {
		printf("usage: %s [-n]\n", argv[0]);
		exit(1);
	}

	/*
	 * Anyone may send us text to run wall(1) on: never do that as root.
	 * A login's terminal is writable by the terminal group alone (mode
	 * 0620, 0600 after mesg n), and wall is not always set-group-ID to
	 * it, so keep that group as the only supplementary one: it opens the
	 * terminals that accept messages and nothing else of root's.
	 */
	if (getuid() == 0 || geteuid() == 0) {
		if ((gr = getgrnam("tty")) != NULL)
			ttygid = gr->gr_gid;
		else
			notty = 1;
		if ((pw = getpwnam("nobody")) != NULL) {
			(void)initgroups(pw->pw_name, pw->pw_gid);
			if (!notty)
				(void)setgroups(1, &ttygid);
			(void)setgid(pw->pw_gid);
			(void)setuid(pw->pw_uid);
		}
		(void)seteuid(0);	/* must fail once root is gone */
		/* root's groups (shadow, disk, ...) must be gone as well */
		if (getuid() == 0 || geteuid() == 0 ||
		    !(notty ? groups_of(pw) : groups_are(pw, ttygid))) {
			syslog(LOG_CRIT, "can't drop root privileges");
			exit(1);
		}
		if (notty)
			syslog(LOG_WARNING, "no group tty: messages reach only "
			    "terminals writable by everyone");
	}

	/* inetd hands us the service socket on descriptor 0. */
	if (getsockname(0, (struct sockaddr *)&sin, &len) < 0) {
		from_inetd = 0;
		sock = RPC_ANYSOCK;
		proto = IPPROTO_UDP;
	}

	(void)sigprocmask(SIG_SETMASK, NULL, &waitmask);
	if (!from_inetd) {
		if (!nodaemon)
			possess();
		stoppable();
		(void)pmap_unset(WALLPROG, WALLVERS);
		if ((s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) < 0) {
			perror("socket");
			exit(1);
		}
		memset(&sin, 0, sizeof(sin));
		sin.sin_family = AF_INET;
		if (bind(s, (struct sockaddr *)&sin, sizeof(sin)) < 0) {
			perror("bind");
			exit(1);
		}
		len = sizeof(sin);
		if (getsockname(s, (struct sockaddr *)&sin, &len) != 0) {
			perror("getsockname");
			exit(1);
		}
		(void)pmap_set(WALLPROG, WALLVERS, IPPROTO_UDP, ntohs(sin.sin_port));
		if (dup2(s, 0) < 0) {
			perror("dup2");
			exit(1);
		}
		cloexec(0);
		cloexec(s);
		(void)pmap_unset(WALLPROG, WALLVERS);
	}

	(void)signal(SIGCHLD, killkids);

	if ((transp = svcudp_create(sock)) == NULL) {
		fprintf(stderr, "cannot create udp service.\n");
		exit(1);
	}
	cloexec(transp->xp_fd);
	if (!svc_register(transp, WALLPROG, WALLVERS, wallprog_1, proto)) {
		fprintf(stderr, "unable to register (WALLPROG, WALLVERS, udp).\n");
		exit(1);
	}
	if (!from_inetd)
		transp6 = udp6_service();
	serve(transp, transp6);
	if (stopped) {
		(void)pmap_unset(WALLPROG, WALLVERS);
		if (transp6 != NULL)
			unset6();
		exit(0);
	}
	fprintf(stderr, "svc_run returned\n");
	exit(1);
}

/*
 * Whether every group ID of the process, real, effective, saved and
 * supplementary, is one that initgroups and setgid give the user PW.
 * Without CAP_SETGID those calls fail and root's groups stay behind.
 */
static int
groups_of(const struct passwd *pw)
{
	gid_t rgid, egid, sgid, *have = NULL, *want = NULL;
	int nhave, nwant = 0, i, j, ok = 0;

	if (pw == NULL || getresgid(&rgid, &egid, &sgid) == -1 ||
	    rgid != pw->pw_gid || egid != pw->pw_gid || sgid != pw->pw_gid)
		return 0;
	if ((nhave = getgroups(0, NULL)) == -1)
		return 0;
	/* the first call only counts the user's groups */
	(void)getgrouplist(pw->pw_name, pw->pw_gid, NULL, &nwant);
	if ((have = (gid_t *)calloc(nhave + 1, sizeof(*have))) == NULL ||
	    (want = (gid_t *)calloc(nwant + 1, sizeof(*want))) == NULL ||
	    (nhave = getgroups(nhave, have)) == -1 ||
	    getgrouplist(pw->pw_name, pw->pw_gid, want, &nwant) == -1)
		goto out;
	for (i = 0; i < nhave; i++) {
		for (j = 0; j < nwant && want[j] != have[i]; j++)
			;
		if (j == nwant)
			goto out;
	}
	ok = 1;
out:
	free(have);
	free(want);
	return ok;
}

/*
 * Whether the process has the user PW's group ID as its real, effective
 * and saved one, and GID as its only supplementary group.
 */
static int
groups_are(const struct passwd *pw, gid_t gid)
{
	gid_t rgid, egid, sgid, have[2];

	if (pw == NULL || getresgid(&rgid, &egid, &sgid) == -1 ||
	    rgid != pw->pw_gid || egid != pw->pw_gid || sgid != pw->pw_gid)
		return 0;
	return getgroups(2, have) == 1 && have[0] == gid;
}

/*
 * The program over IPv6 as well, where the host has it: a socket of its
 * own, IPv6 only (the IPv4 family is the other socket's), registered with
 * rpcbind for the transport udp6, which the portmapper calls of the IPv4
 * registration do not touch.  Without IPv6 the daemon serves as before;
 * with a portmapper that knows no udp6 it says so and serves IPv4.
 */
static SVCXPRT *
udp6_service(void)
{
	struct sockaddr_in6 sin6;
	struct netconfig *nconf;
	SVCXPRT *transp;
	int s, on = 1;

	if (!has_ipv6() || (nconf = getnetconfigent("udp6")) == NULL)
		return NULL;
	(void)rpcb_unset(WALLPROG, WALLVERS, nconf);	/* an earlier run's */
	if ((s = socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP)) < 0) {
		perror("socket");
		exit(1);
	}
	if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) < 0) {
		perror("setsockopt");
		exit(1);
	}
	memset(&sin6, 0, sizeof(sin6));
	sin6.sin6_family = AF_INET6;
	if (bind(s, (struct sockaddr *)&sin6, sizeof(sin6)) < 0) {
		perror("bind");
		exit(1);
	}
	cloexec(s);
	if ((transp = svc_dg_create(s, 0, 0)) == NULL) {
		fprintf(stderr, "cannot create udp6 service.\n");
		exit(1);
	}
	if (!svc_reg(transp, WALLPROG, WALLVERS, wallprog_1, nconf)) {
		fprintf(stderr, "unable to register (WALLPROG, WALLVERS, udp6).\n");
		svc_destroy(transp);
		transp = NULL;
	}
	freenetconfigent(nconf);
	return transp;
}

/* Our sockets are no business of a delivery's shell and wall. */
static void
cloexec(int fd)
{
	int flags;

	if ((flags = fcntl(fd, F_GETFD)) == -1 ||
	    fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1) {
		perror("fcntl");
		exit(1);
	}
}

static void
possess(void)
{
	(void)daemon(0, 0);
}

/*
 * A stopped standalone daemon takes its portmapper mapping along, or
 * clients would be sent to a dead port.  The stop signals are held except
 * while serve() waits, where ppoll lets them in and out atomically: none
 * can slip in between the check of the flag and the wait.
 */
static void
stoppable(void)
{
	static const int sigs[] = { SIGTERM, SIGINT, SIGHUP };
	struct sigaction sa;
	size_t i;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = stop;
	(void)sigemptyset(&sa.sa_mask);
	(void)sigemptyset(&stops);
	for (i = 0; i < sizeof(sigs) / sizeof(sigs[0]); i++) {
		(void)sigaddset(&stops, sigs[i]);
		(void)sigdelset(&waitmask, sigs[i]);
		(void)sigaction(sigs[i], &sa, NULL);
	}
	(void)sigprocmask(SIG_BLOCK, &stops, NULL);
}

static void
stop(int signo)
{
	(void)signo;
	stopped = 1;
}

static void
killkids(int signo)
{
	int save_errno = errno;

	(void)signo;
	while (wait4(-1, NULL, WNOHANG, NULL) > 0)
		nkids--;
	errno = save_errno;
}

/*
 * The RPC loop, over the service socket and, standalone on a host with
 * IPv6, its IPv6 twin.  The UDP transport decodes from its whole receive
 * buffer, not from the bytes that arrived, so learn each datagram's true
 * length before the library reads it; xdr_message holds the argument to it.
 */
static void
serve(SVCXPRT *transp, SVCXPRT *transp6)
{
	struct timespec ts;
	struct pollfd pfd[2];
	char c;
	int i, n, nfds, ms;

	pfd[0].fd = transp->xp_fd;
	pfd[0].events = POLLIN;
	nfds = 1;
	if (transp6 != NULL) {
		pfd[1].fd = transp6->xp_fd;
		pfd[1].events = POLLIN;
		nfds = 2;
	}
	for (;;) {
		if (stopped)
			return;
		/* a line held back by the gap wakes the loop when it is due */
		ms = droplog();
		ts.tv_sec = ms / 1000;
		ts.tv_nsec = ms % 1000 * 1000000L;
		if ((n = ppoll(pfd, nfds, ms < 0 ? NULL : &ts, &waitmask)) < 0) {
			if (errno == EINTR)
				continue;
			return;
		}
		for (i = 0; i < nfds && n > 0; i++) {
			if (pfd[i].revents == 0)
				continue;
			if (pfd[i].revents & POLLNVAL)
				return;
			dgramlen = recv(pfd[i].fd, &c, sizeof(c), MSG_PEEK | MSG_TRUNC);
			if (dgramlen < 0) {
				/* a pending socket error is reported once, then cleared */
				if (errno == EBADF || errno == ENOTSOCK)
					return;
				continue;
			}
			svc_getreq_poll(&pfd[i], 1);
			dgramlen = -1;
		}
	}
}

static long long
monotonic_ms(void)
{
	struct timespec ts;

	(void)clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

/*
 * Drops at the bound are silent to the sender, so tell the log: one line
 * when they begin, one with their number once deliveries can start again,
 * never two within DROPLOGGAP.  Returns the milliseconds until a line held
 * back by the gap is due, or -1 when none waits.
 */
static int
droplog(void)
{
	long long now;

	if (ndropped == 0 || (dropping && nkids >= MAXKIDS))
		return -1;
	now = monotonic_ms();
	if (now < droplogat)
		return (int)(droplogat - now);
	if (nkids < MAXKIDS) {
		syslog(LOG_WARNING, "delivery resumed: %lu messages dropped",
		    ndropped);
		ndropped = 0;
		dropping = 0;
	} else {
		syslog(LOG_WARNING, "%d deliveries running: dropping messages",
		    MAXKIDS);
		dropping = 1;
	}
	droplogat = now + DROPLOGGAP;
	return -1;
}

static void
wallprog_1(struct svc_req *rqstp, SVCXPRT *transp)
{
	char *msg;
	void *result;

	switch (rqstp->rq_proc) {
	case WALLPROC_NULL:
		(void)svc_sendreply(transp, XDRPROC(xdr_void), NULL);
		break;
	case WALLPROC_WALL:
		msg = NULL;
		if (!svc_getargs(transp, XDRPROC(xdr_message), &msg)) {
			svcerr_decode(transp);
			break;
		}
		result = wallproc_wall_1(&msg, rqstp);
		if (result != NULL &&
		    !svc_sendreply(transp, XDRPROC(xdr_void), result))
			svcerr_systemerr(transp);
		if (!svc_freeargs(transp, XDRPROC(xdr_message), &msg)) {
			fprintf(stderr, "unable to free arguments\n");
			exit(1);
		}
		break;
	default:
		svcerr_noproc(transp);
		break;
	}
	if (from_inetd)
		exit(0);
}

/*
 * The message: an XDR string that must lie wholly inside the datagram.
 * Checking its extent before decoding also keeps a forged length from
 * allocating memory that no datagram could fill.
 */
static bool_t
xdr_message(XDR *xdrs, char **objp)
{
	u_int pos, len;
	long long need;

	if (xdrs->x_op == XDR_DECODE) {
		pos = XDR_GETPOS(xdrs);
		if (dgramlen < 0 || pos + 4LL > dgramlen)
			return FALSE;
		if (!xdr_u_int(xdrs, &len) || !XDR_SETPOS(xdrs, pos))
			return FALSE;
		need = pos + 4LL + ((len + 3LL) & ~3LL);
		if (need > dgramlen)
			return FALSE;
	}
	return xdr_wrapstring(xdrs, objp);
}

static void *
wallproc_wall_1(char **msg, struct svc_req *rqstp)
{
	sigset_t chld, omask;
	FILE *pfp;
	pid_t pid;

	(void)rqstp;
	retval++;
	/* Past the bound the message is dropped, as when fork fails. */
	if (nkids >= MAXKIDS) {
		ndropped++;
		return &retval;
	}

	/* killkids must not run while the count changes. */
	(void)sigemptyset(&chld);
	(void)sigaddset(&chld, SIGCHLD);
	(void)sigprocmask(SIG_BLOCK, &chld, &omask);
	if ((pid = fork()) > 0)
		nkids++;
	(void)sigprocmask(SIG_SETMASK, &omask, NULL);
	if (pid != 0)
		return &retval;
	unstop();
	hush();

	if ((pfp = popen("/usr/bin/wall -n", "w")) == NULL)
		_exit(0);
	(void)fprintf(pfp, "\a\a%s", *msg);
	(void)pclose(pfp);
	_exit(0);
}

/* A delivery dies of the stop signals as it would have without us. */
static void
unstop(void)
{
	int sig;

	for (sig = 1; sig < NSIG; sig++)
		if (sigismember(&stops, sig) == 1)
			(void)signal(sig, SIG_DFL);
	(void)sigprocmask(SIG_UNBLOCK, &stops, NULL);
}

/*
 * What wall says is for nobody: inetd leaves the service socket on
 * descriptors 1 and 2, and run by anyone but root wall complains of -n
 * on every delivery.  Without a null device (a bare chroot) they stay as
 * they are; a write to an unconnected datagram socket goes nowhere.
 */
static void
hush(void)
{
	int fd;

	if ((fd = open("/dev/null", O_WRONLY)) == -1)
		return;
	(void)dup2(fd, 1);
	(void)dup2(fd, 2);
	if (fd > 2)
		(void)close(fd);
}
