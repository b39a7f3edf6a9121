/* SPDX-License-Identifier: ISC */
/*
 * The pool of builds: each probe compiled and linked by a job of its own,
 * at most --jobs at once, each within its deadline; and, when the work ends
 * however it ends, nothing that the compilers started left running.
 */

#include <sys/types.h>
#include <sys/wait.h>

#include <ctype.h>
#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "ccfacts.h"

extern char **environ;

namespace {

constexpr unsigned grace_seconds = 2;	/* after passing a signal on */

std::vector<std::string>
command_of(const run &r, size_t i)
{
	const probe &p = probes[i];
	std::vector<std::string> argv = compiler_of(r, i).words;
	const std::string &std = p.language == lang::c ? r.std_c : r.std_cxx;

	argv.insert(argv.end(), r.cflags.begin(), r.cflags.end());
	if (p.dialect && !std.empty())
		argv.push_back("-std=" + std);
	argv.push_back("-I" + r.probe_dir);
	argv.push_back(r.probe_dir + "/" + p.source);
	argv.push_back("-o");
	argv.push_back(r.builds[i].exe);
	return argv;
}

struct timespec
now()
{
	struct timespec t;

	if (clock_gettime(CLOCK_MONOTONIC, &t) == -1)
		err(1, "clock_gettime");
	return t;
}

bool
before(const struct timespec &a, const struct timespec &b)
{
	return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

struct timespec
later(struct timespec t, unsigned long seconds)
{
	t.tv_sec += static_cast<time_t>(seconds);
	return t;
}

/* Each job leads a process group, so that its deadline reaches its children. */
void
start(run &r, size_t i)
{
	build &b = r.builds[i];
	const compiler &c = compiler_of(r, i);
	b.exe = r.workdir + "/" + probes[i].name;
	b.log = b.exe + ".log";
	if (c.path.empty()) {
		b.spawn_errno = ENOENT;
		return;
	}

	std::vector<std::string> args = command_of(r, i);
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(&a[0]);
	argv.push_back(nullptr);

	posix_spawn_file_actions_t fa;
	posix_spawnattr_t attr;
	if (posix_spawn_file_actions_init(&fa) != 0 ||
	    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0) != 0 ||
	    posix_spawn_file_actions_addopen(&fa, 1, b.log.c_str(),
	    O_WRONLY | O_CREAT | O_TRUNC, 0600) != 0 ||
	    posix_spawn_file_actions_adddup2(&fa, 1, 2) != 0)
		errx(1, "posix_spawn_file_actions failed");
	if (posix_spawnattr_init(&attr) != 0 ||
	    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP |
	    POSIX_SPAWN_SETSIGMASK) != 0 ||
	    posix_spawnattr_setpgroup(&attr, 0) != 0 ||
	    posix_spawnattr_setsigmask(&attr, &spawn_signal_mask()) != 0)
		errx(1, "posix_spawnattr failed");
	b.spawn_errno = posix_spawn(&b.pid, c.path.c_str(), &fa, &attr, argv.data(), environ);
	if (b.spawn_errno != 0)
		b.pid = -1;
	else
		b.deadline = later(now(), r.timeout_seconds);
	(void)posix_spawnattr_destroy(&attr);
	(void)posix_spawn_file_actions_destroy(&fa);
}

bool
running(const build &b)
{
	return b.pid > 0 && !b.done;
}

/* Sleeps until a signal comes or `until` passes. */
void
pause_until(const struct timespec &until)
{
	struct timespec t = now(), wait = { 0, 0 };

	if (before(t, until)) {
		wait.tv_sec = until.tv_sec - t.tv_sec;
		wait.tv_nsec = until.tv_nsec - t.tv_nsec;
		if (wait.tv_nsec < 0) {
			wait.tv_sec--;
			wait.tv_nsec += 1000000000L;
		}
	}
	if (ppoll(nullptr, 0, &wait, &wait_signal_mask()) == -1 && errno != EINTR)
		err(1, "ppoll");
}

/*
 * Every process descended from ccfacts that is still alive, found through
 * /proc; with ccfacts the subreaper, that is everything the builds started,
 * whatever process group or session it moved to.
 */
std::vector<pid_t>
descendants()
{
	std::map<pid_t, std::vector<pid_t>> children;
	DIR *d = opendir("/proc");
	if (d == nullptr)
		return {};
	struct dirent *e;
	while ((e = readdir(d)) != nullptr) {
		if (!isdigit(static_cast<unsigned char>(e->d_name[0])))
			continue;
		std::string stat;
		if (!read_regular(dirfd(d), std::string(e->d_name) + "/stat", stat, 0).empty())
			continue;
		/* "pid (comm) state ppid ...": comm may hold anything, ')' too. */
		size_t close = stat.rfind(')');
		if (close == std::string::npos || close + 4 >= stat.size() || stat[close + 2] == 'Z')
			continue;
		children[static_cast<pid_t>(atol(stat.c_str() + close + 4))].push_back(
		    static_cast<pid_t>(atol(e->d_name)));
	}
	(void)closedir(d);
	std::vector<pid_t> found;
	std::vector<pid_t> parents = { getpid() };
	while (!parents.empty()) {
		pid_t p = parents.back();
		parents.pop_back();
		for (pid_t c : children[p]) {
			found.push_back(c);
			parents.push_back(c);
		}
	}
	return found;
}

/*
 * Sends a signal to every job's group, and to what left the groups, and
 * waits until all are gone.  Signals other than the three a terminal or a
 * service manager send are passed on as SIGTERM: a SIGQUIT passed on would
 * leave the compilers' core files behind.
 */
void
stop_jobs(run &r, int sig)
{
	struct timespec until = later(now(), grace_seconds);

	if (sig != SIGKILL && sig != SIGINT && sig != SIGTERM && sig != SIGHUP)
		sig = SIGTERM;
	for (auto &b : r.builds)
		if (running(b))
			(void)kill(-b.pid, sig);
	signal_descendants(sig);
	for (;;) {
		reap(r);
		if (std::none_of(std::begin(r.builds), std::end(r.builds), running))
			return;
		if (sig != SIGKILL && !before(now(), until)) {
			sig = SIGKILL;
			for (auto &b : r.builds)
				if (running(b))
					(void)kill(-b.pid, sig);
		}
		pause_until(sig == SIGKILL ? later(now(), 1) : until);
	}
}

[[noreturn]] void
timed_out(run &r, size_t i)
{
	stop_jobs(r, SIGKILL);
	end_descendants(r);
	remove_workdir(r);
	fprintf(stderr, "ccfacts: %s: %s did not finish within %lu second%s\n",
	    probes[i].name, compiler_of(r, i).words.front().c_str(), r.timeout_seconds,
	    r.timeout_seconds == 1 ? "" : "s");
	exit(1);
}

} // namespace

/*
 * One build per processor that this process may run on, as nproc counts
 * them: more builds than processors only share them out, and on a machine
 * that charges for every process switch they finish later together.
 */
size_t
default_jobs()
{
	cpu_set_t set;
	int n = 0;

	if (sched_getaffinity(0, sizeof(set), &set) == 0)
		n = CPU_COUNT(&set);
	if (n <= 0)
		n = static_cast<int>(std::clamp<long>(sysconf(_SC_NPROCESSORS_ONLN), 1, nprobes));
	return std::min(static_cast<size_t>(n), nprobes);
}

const compiler &
compiler_of(const run &r, size_t i)
{
	return probes[i].language == lang::c ? r.cc : r.cxx;
}

bool
skipped(const run &r, size_t i)
{
	return r.no_cxx && probes[i].language == lang::cxx;
}

/*
 * Collects the jobs that have ended.  A job's group is swept once its
 * leader is gone: a child left behind must not write into the directory
 * being read or removed.
 */
void
reap(run &r)
{
	int status;
	pid_t pid;

	while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
		for (auto &b : r.builds)
			if (b.pid == pid && !b.done) {
				b.status = status;
				b.done = true;
				(void)kill(-pid, SIGKILL);
			}
	if (pid == -1 && errno != ECHILD && errno != EINTR)
		err(1, "waitpid");
}

void
signal_descendants(int sig)
{
	for (pid_t p : descendants())
		(void)kill(p, sig);
}

/*
 * Kills whatever the builds left running, until nothing is left but what
 * no signal of ours can reach (a process that changed its credentials).
 */
void
end_descendants(run &r)
{
	for (int round = 0; round < 1000; round++) {
		reap(r);
		bool reached = false;
		for (pid_t p : descendants())
			reached = kill(p, SIGKILL) == 0 || reached;
		if (!reached)
			return;
		struct timespec soon = now();
		soon.tv_nsec += 10000000L;
		if (soon.tv_nsec >= 1000000000L) {
			soon.tv_sec++;
			soon.tv_nsec -= 1000000000L;
		}
		pause_until(soon);
	}
}

/* Starts the builds, at most `jobs` at once, the C++ probes (the slowest) first. */
void
run_builds(run &r)
{
	std::vector<size_t> order;
	for (size_t i = 0; i < nprobes; i++)
		if (probes[i].language == lang::cxx && !skipped(r, i))
			order.push_back(i);
	for (size_t i = 0; i < nprobes; i++)
		if (probes[i].language == lang::c)
			order.push_back(i);

	size_t next = 0;
	for (;;) {
		reap(r);
		if (interrupted != 0) {
			stop_jobs(r, interrupted);
			release_signals(r);
		}
		size_t active = static_cast<size_t>(std::count_if(std::begin(r.builds),
		    std::end(r.builds), running));
		while (next < order.size() && active < r.jobs) {
			start(r, order[next++]);
			if (r.builds[order[next - 1]].pid > 0)
				active++;
		}
		/* Nothing a build left may write into what is read next. */
		if (active == 0) {
			end_descendants(r);
			return;
		}
		size_t first = nprobes;
		for (size_t i = 0; i < nprobes; i++)
			if (running(r.builds[i]) && (first == nprobes ||
			    before(r.builds[i].deadline, r.builds[first].deadline)))
				first = i;
		if (!before(now(), r.builds[first].deadline))
			timed_out(r, first);
		pause_until(r.builds[first].deadline);
	}
}
