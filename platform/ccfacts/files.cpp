/* SPDX-License-Identifier: ISC */
/*
 * Files that a compiler may have made anything of: read only when they are
 * regular files, and the work directory removed without following a link
 * out of it.
 */

#include <sys/stat.h>

#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "ccfacts.h"

/*
 * The whole of a regular file: whatever else a compiler leaves under the
 * name (a FIFO, a device) could block or never end.  The reason on failure.
 */
std::string
read_regular(int dir, const std::string &path, std::string &data, off_t limit)
{
	data.clear();
	int fd = openat(dir, path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd == -1)
		return strerror(errno);
	struct stat st;
	std::string why;
	if (fstat(fd, &st) == -1)
		why = strerror(errno);
	else if (!S_ISREG(st.st_mode))
		why = "not a regular file";
	else if (limit > 0 && st.st_size > limit)
		why = "too large";
	char buf[65536];
	while (why.empty()) {
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n == 0)
			break;
		if (n == -1 && errno != EINTR && errno != EAGAIN)
			why = strerror(errno);
		if (n > 0)
			data.append(buf, static_cast<size_t>(n));
		if (limit > 0 && static_cast<off_t>(data.size()) > limit)
			why = "too large";
	}
	(void)close(fd);
	return why;
}

namespace {

/* The run whose directory an exit must remove: atexit hands its function nothing. */
run *exiting_run;

/*
 * A directory left unreadable (mode 000) is still ours to open: its mode is
 * changed through an O_PATH descriptor, which needs no permission on the
 * directory and, like the open it precedes, follows no link.
 */
bool
make_openable(int parent, const char *name)
{
	int fd = openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd == -1)
		return false;
	bool ok = chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), 0700) == 0;
	(void)close(fd);
	return ok;
}

/*
 * Empties and removes a directory that a compiler may have filled with
 * anything: links are removed, never followed, so nothing outside it goes.
 */
bool
remove_tree(int parent, const char *name)
{
	int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd == -1 && errno == EACCES && make_openable(parent, name))
		fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd == -1)
		return unlinkat(parent, name, 0) == 0;
	(void)fchmod(fd, 0700);		/* a directory left unwritable is still ours */
	DIR *d = fdopendir(fd);
	if (d == nullptr) {
		(void)close(fd);
		return false;
	}
	std::vector<std::string> names;
	struct dirent *e;
	while ((e = readdir(d)) != nullptr)
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			names.push_back(e->d_name);
	bool ok = true;
	for (const auto &n : names) {
		struct stat st;
		if (fstatat(dirfd(d), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
		    S_ISDIR(st.st_mode))
			ok = remove_tree(dirfd(d), n.c_str()) && ok;
		else if (unlinkat(dirfd(d), n.c_str(), 0) == -1 && errno != ENOENT)
			ok = false;
	}
	(void)closedir(d);
	return unlinkat(parent, name, AT_REMOVEDIR) == 0 && ok;
}

/* An exit with builds under way (an error of ours) leaves nothing behind either. */
void
end_at_exit()
{
	if (exiting_run == nullptr || exiting_run->workdir.empty())
		return;
	end_descendants(*exiting_run);
	remove_workdir(*exiting_run);
}

} // namespace

void
make_workdir(run &r)
{
	const char *tmp = getenv("TMPDIR");
	std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
	    "/ccfacts.XXXXXX";

	/* A private directory: no one else can plant or read our executables. */
	if (mkdtemp(&templ[0]) == nullptr)
		err(1, "mkdtemp %s", templ.c_str());
	r.workdir = templ;
	exiting_run = &r;
	if (atexit(end_at_exit) != 0)
		errx(1, "atexit failed");
}

void
remove_workdir(run &r)
{
	if (r.workdir.empty())
		return;
	if (!remove_tree(AT_FDCWD, r.workdir.c_str()))
		warn("cannot remove %s", r.workdir.c_str());
	r.workdir.clear();
	exiting_run = nullptr;	/* nor may an exit reach a run that has ended */
}
