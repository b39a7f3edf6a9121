/* SPDX-License-Identifier: ISC */
/*
 * The vexil host under libFuzzer: a script's bytes through the lexer, the
 * parser and the evaluator, with fcntl-module loaded as -m fcntl loads it.
 *
 * The host's files are linked in, all but main.cpp, whose place this file
 * takes: an error in the script or the end of a run throws back to here,
 * and what finish() does before it exits is done here before the next
 * input.  The throw unwinds the evaluator, and every value it held gives
 * its reference back on the way, so beyond what the sanitizers (the leak
 * checker among them) see, one fault is checked for every script, whether
 * it ends well or in an error: once its variables and the stack are
 * released, no descriptor it opened is left open (a descriptor object that
 * loses a reference, or a module that keeps one).
 *
 * open() in the built-ins is routed through fuzz_open (vexil-open.h is
 * forced into builtin.cpp): reads go where the script says, but anything
 * that may create, write or truncate lands on one scratch file, so that no
 * input can harm the machine that fuzzes.  The harness refuses to start
 * unless a script's creating open is seen to land there.
 */
#include <sys/stat.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>
#include <set>

#include "syntax.h"

struct ScriptEnd {
	int status;
};

void
fail(Pos, const char *, ...)
{
	throw ScriptEnd{1};
}

void
warn(const char *, ...)
{
}

void
finish(int status)
{
	throw ScriptEnd{status};
}

static char scratch[] = "/tmp/fuzz-vexil.XXXXXX";
static std::string scratch_file;

extern "C" int
fuzz_open(const char *path, int flags, ...)
{
	const int tmpfile = O_TMPFILE & ~O_DIRECTORY;
	const int changes = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND | O_EXCL | tmpfile;
	struct stat st;
	mode_t mode;
	va_list ap;

	va_start(ap, flags);	/* the built-in always passes a mode */
	mode = va_arg(ap, mode_t) & 0600;
	va_end(ap);
	if ((flags & changes) == O_RDONLY) {
		/* a device may act on being opened (a watchdog arms) */
		if (stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
			path = "/dev/null";
		return open(path, flags);
	}
	if (flags & tmpfile)
		return open(scratch, flags, mode);
	return open(scratch_file.c_str(), flags & ~O_EXCL, mode);
}

static std::set<int>
open_fds(void)
{
	std::set<int> fds;
	DIR *d;
	struct dirent *e;

	if ((d = opendir("/proc/self/fd")) == nullptr)
		abort();
	while ((e = readdir(d)) != nullptr)
		if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d))
			fds.insert(atoi(e->d_name));
	(void)closedir(d);
	return fds;
}

static void
remove_scratch(void)
{
	(void)unlink(scratch_file.c_str());
	(void)rmdir(scratch);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	if (mkdtemp(scratch) == nullptr)
		abort();
	(void)atexit(remove_scratch);
	scratch_file = std::string(scratch) + "/file";
	/* the sandbox holds, or nothing runs */
	std::string probe = std::string(scratch) + "/created";
	if (define_globals() == -1)
		abort();
	try {
		evaluate(parse(lex("f = open(\"" + probe + "\", O_WRONLY | O_CREAT | O_TRUNC, 384)\n")));
	} catch (const ScriptEnd &) {
	} catch (const std::bad_alloc &) { /* the host's main reports it and ends */
	}
	release_variables();
	if (access(probe.c_str(), F_OK) == 0 || access(scratch_file.c_str(), F_OK) != 0) {
		fprintf(stderr, "fuzz-vexil: open() in the built-ins is not sandboxed\n");
		abort();
	}
	(void)unlink(scratch_file.c_str());
	add_module_path(FCNTL_MODULE_DIR);
	/* Open the module before fuzzing starts, so its coverage is seen. */
	if (define_globals() == -1 || load_module("fcntl", GLOBAL_NAMESPACE) == -1)
		abort();
	unload_all();
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string src((const char *)data, size);
	std::set<int> before = open_fds();

	try {
		if (define_globals() == -1)
			abort();
		std::vector<Node> program = parse(lex(src));
		if (load_module("fcntl", GLOBAL_NAMESPACE) == -1)
			abort();
		evaluate(program);
	} catch (const ScriptEnd &) {
	} catch (const std::bad_alloc &) { /* the host's main reports it and ends */
	}
	release_variables();
	release_stack();
	unload_all();

	for (int fd : open_fds())
		if (before.count(fd) == 0) {
			fprintf(stderr, "descriptor %d left open by the script\n", fd);
			abort();
		}
	(void)unlink(scratch_file.c_str());
	return 0;
}
