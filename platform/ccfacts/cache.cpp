/* SPDX-License-Identifier: ISC */
/*
 * The cache directory: private to its owner, each entry named by its key's
 * hash and written whole or not at all.  A cache that cannot be used costs a
 * warning, once, never the answer.
 */

#include <sys/stat.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "ccfacts.h"

namespace {

void
cache_warning(run &r, const std::string &what)
{
	if (r.cache_warned)
		return;
	r.cache_warned = true;
	fprintf(stderr, "ccfacts: cache %s; facts not kept\n", what.c_str());
}

/* An entry that the lookup would refuse to read is not written. */
std::string
too_large(size_t bytes)
{
	return "entry of " + std::to_string(bytes) + " bytes too large to read back (limit " +
	    std::to_string(cache_entry_max) + ")";
}

/*
 * The cache directory, opened, or -1.  One that others may write is not
 * used: an entry planted there would be believed.
 */
int
open_cache_dir(run &r)
{
	int fd = open(r.cache_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd == -1)
		return -1;
	struct stat st;
	if (fstat(fd, &st) == -1 || st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
		(void)close(fd);
		cache_warning(r, r.cache_dir + (st.st_uid != geteuid() ? ": owned by another user"
		    : ": not private to its owner"));
		errno = EPERM;
		return -1;
	}
	return fd;
}

/*
 * The directory the cache would be made in, when it belongs to another
 * user: root, run with that user's HOME (sudo keeps it), must not leave
 * directories the user cannot write, and could not use them anyway.
 */
std::string
foreign_parent(const std::string &path)
{
	if (geteuid() != 0)
		return "";	/* the kernel keeps others out of what is not theirs */
	std::string dir = path;
	struct stat st;
	while (!dir.empty() && stat(dir.c_str(), &st) == -1) {
		size_t slash = dir.rfind('/');
		dir = slash == std::string::npos ? "." : dir.substr(0, slash);
		if (slash == 0)
			dir = "/";
	}
	return !dir.empty() && stat(dir.c_str(), &st) == 0 && st.st_uid != 0 ? dir : "";
}

/* Makes the directory and any missing parent, private as XDG asks. */
bool
make_dirs(const std::string &path)
{
	for (size_t i = 1; i <= path.size(); i++)
		if (i == path.size() || path[i] == '/')
			if (mkdir(path.substr(0, i).c_str(), 0700) == -1 && errno != EEXIST)
				return false;
	return true;
}

} // namespace

/*
 * Whether the answer can be kept under this key at all: not when something
 * it depends on could not be keyed, nor when the key alone fills an entry.
 */
bool
keyable(run &r, const std::string &key)
{
	if (!r.uncacheable.empty()) {
		cache_warning(r, r.uncacheable);
		return false;
	}
	if (static_cast<off_t>(key.size()) > cache_entry_max) {
		cache_warning(r, too_large(key.size()));
		return false;
	}
	return true;
}

bool
cache_lookup(run &r, const std::string &key, facts &f)
{
	int dir = open_cache_dir(r);
	if (dir == -1)
		return false;
	std::string entry;
	bool hit = read_regular(dir, hex(fnv1a(key)), entry, cache_entry_max).empty() &&
	    entry_facts(entry, key, f);
	(void)close(dir);
	return hit;
}

/*
 * Written aside and renamed into place: a concurrent run sees the old
 * entry, the new one or none, never half of one.
 */
void
cache_store(run &r, const std::string &key, const facts &f)
{
	std::string entry = cache_entry(key, f);
	if (static_cast<off_t>(entry.size()) > cache_entry_max) {
		cache_warning(r, too_large(entry.size()));
		return;
	}
	if (r.cache_dir.empty()) {
		cache_warning(r, "directory unknown (" + r.no_cache_dir + ")");
		return;
	}
	std::string foreign = foreign_parent(r.cache_dir);
	if (!foreign.empty()) {
		cache_warning(r, r.cache_dir + ": " + foreign + " belongs to another user");
		return;
	}
	if (!make_dirs(r.cache_dir)) {
		cache_warning(r, r.cache_dir + ": " + strerror(errno));
		return;
	}
	int dir = open_cache_dir(r);
	if (dir == -1) {
		if (errno != EPERM)
			cache_warning(r, r.cache_dir + ": " + strerror(errno));
		return;
	}
	(void)close(dir);

	std::string temp = r.cache_dir + "/.new.XXXXXX";
	int fd = mkostemp(&temp[0], O_CLOEXEC);
	if (fd == -1) {
		cache_warning(r, r.cache_dir + ": " + strerror(errno));
		return;
	}
	size_t done = 0;
	while (done < entry.size()) {
		ssize_t n = write(fd, entry.data() + done, entry.size() - done);
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += static_cast<size_t>(n);
	}
	int saved = errno;
	if (close(fd) == -1 && done == entry.size()) {
		saved = errno;
		done = 0;
	}
	if (done != entry.size() ||
	    rename(temp.c_str(), (r.cache_dir + "/" + hex(fnv1a(key))).c_str()) == -1) {
		if (done == entry.size())
			saved = errno;
		(void)unlink(temp.c_str());
		cache_warning(r, r.cache_dir + ": " + strerror(saved));
	}
}

/*
 * XDG: a relative XDG_CACHE_HOME is to be ignored; so is a relative HOME,
 * which would put the cache wherever the run happens to start.
 */
std::string
default_cache_dir(run &r)
{
	const char *xdg = getenv("XDG_CACHE_HOME");
	if (xdg != nullptr && xdg[0] == '/')
		return std::string(xdg) + "/ccfacts";
	const char *home = getenv("HOME");
	if (home != nullptr && home[0] == '/')
		return std::string(home) + "/.cache/ccfacts";

	auto state = [](const char *v) {
		return v == nullptr ? "unset" : *v == '\0' ? "empty" : "a relative path";
	};
	if (xdg == nullptr && home == nullptr)
		r.no_cache_dir = "neither XDG_CACHE_HOME nor HOME is set";
	else
		r.no_cache_dir = std::string("XDG_CACHE_HOME is ") + state(xdg) + " and HOME is " +
		    state(home);
	return "";
}
