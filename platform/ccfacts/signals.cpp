/* SPDX-License-Identifier: ISC */
/*
 * Signals: ending ccfacts in any way a signal can ends its builds and
 * removes its directory first.  The handlers only note what came; the
 * builds' pool acts on it between waits.
 */

#include <sys/prctl.h>

#include <err.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "ccfacts.h"

volatile sig_atomic_t interrupted;

namespace {

sigset_t caught_signals, saved_mask, wait_mask;

void
on_signal(int sig)
{
	interrupted = sig;
}

void
on_child(int)
{
}

/*
 * The faults: one that another process sent is a request to end like any
 * other; one of our own making must not be returned into, and ends us.
 */
void
on_fault(int sig, siginfo_t *info, void *)
{
	if (info->si_code <= 0) {
		interrupted = sig;
		return;
	}
	(void)signal(sig, SIG_DFL);
}

/*
 * Every signal whose default action ends the process, but for SIGKILL,
 * which cannot be caught: ending ccfacts in any of these ways ends its
 * builds and removes its directory first.
 */
std::vector<int>
ending_signals()
{
	std::vector<int> sigs = { SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
		SIGPIPE, SIGPROF, SIGVTALRM, SIGXCPU, SIGXFSZ, SIGIO, SIGPWR, SIGSTKFLT, SIGTRAP,
		SIGSYS, SIGABRT };
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
		sigs.push_back(sig);
	return sigs;
}

const int fault_signals[] = { SIGSEGV, SIGBUS, SIGFPE, SIGILL };

} // namespace

/*
 * The compilers run in process groups of their own, where a terminal's
 * interrupt does not reach them: ccfacts passes it on.  The signals stay
 * blocked but while waiting, so that no child is started or reaped
 * unnoticed (the faults cannot be blocked: their handler only notes a sent
 * one).  A signal ignored from the start stays ignored.
 *
 * A compiler's child that leaves its process group (setsid) is reparented
 * to us, not to init, when its parent ends: so every process a build
 * started stays a descendant that the end of the run can find.
 */
void
catch_signals()
{
	struct sigaction sa, old;

	if (prctl(PR_SET_CHILD_SUBREAPER, 1) == -1)
		err(1, "prctl");
	(void)sigemptyset(&caught_signals);
	memset(&sa, 0, sizeof(sa));
	(void)sigemptyset(&sa.sa_mask);
	std::vector<int> sigs = ending_signals();
	sigs.push_back(SIGCHLD);
	for (int sig : sigs) {
		sa.sa_handler = sig == SIGCHLD ? on_child : on_signal;
		if (sigaction(sig, &sa, &old) == -1)
			err(1, "sigaction");
		if (sig != SIGCHLD && old.sa_handler == SIG_IGN &&
		    sigaction(sig, &old, nullptr) == -1)
			err(1, "sigaction");
		if (sig == SIGCHLD || old.sa_handler != SIG_IGN)
			(void)sigaddset(&caught_signals, sig);
	}
	sa.sa_handler = nullptr;
	sa.sa_sigaction = on_fault;
	sa.sa_flags = SA_SIGINFO;
	for (int sig : fault_signals)
		if (sigaction(sig, &sa, nullptr) == -1)
			err(1, "sigaction");
	if (sigprocmask(SIG_BLOCK, &caught_signals, &saved_mask) == -1)
		err(1, "sigprocmask");
	/* Even if whoever started us blocked SIGCHLD, the wait must see it. */
	wait_mask = saved_mask;
	for (int sig : sigs)
		if (sigismember(&caught_signals, sig))
			(void)sigdelset(&wait_mask, sig);
}

/*
 * After the work, with nothing left to clean up: an interrupt that came
 * meanwhile ends ccfacts now, and one that comes later ends it at once.
 */
void
release_signals(run &r)
{
	int sig = interrupted;

	if (sig != 0) {
		end_descendants(r);
		remove_workdir(r);
	}
	for (int s : ending_signals())
		if (sigismember(&caught_signals, s) && signal(s, SIG_DFL) == SIG_ERR)
			err(1, "signal");
	for (int s : fault_signals)
		if (signal(s, SIG_DFL) == SIG_ERR)
			err(1, "signal");
	if (sig != 0) {
		(void)sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
		(void)raise(sig);
		_exit(128 + sig);
	}
	if (sigprocmask(SIG_SETMASK, &saved_mask, nullptr) == -1)
		err(1, "sigprocmask");
}

/* What a build starts with: the mask that whoever started ccfacts gave it. */
const sigset_t &
spawn_signal_mask()
{
	return saved_mask;
}

/* What a wait lets through: every signal caught, SIGCHLD too. */
const sigset_t &
wait_signal_mask()
{
	return wait_mask;
}
