/* SPDX-License-Identifier: ISC */
/*
 * vexil: a minimal Vexil interpreter host.
 *
 * It loads modules built against vexil.h, keeps namespaces of intrinsic
 * functions and integer constants, an argument stack, reference-counted
 * file-descriptor objects and the script's errno, and runs tiny scripts:
 * literals, variables, calls, a few integer operators.  The operations a
 * module calls are exported from this executable (it is linked with
 * --export-dynamic), so a module needs no interpreter library.
 *
 * This file reads the options and the script and sets the order of a run:
 * lex and parse the whole script, load the modules of -m, then evaluate.
 * Errors in the script and the exit that every path ends in are here too.
 * The rest: value.cpp (values), call.cpp (the argument stack and calls
 * of intrinsics), namespace.cpp (names and namespaces), module.cpp
 * (loading modules), lex.cpp, parse.cpp, eval.cpp, builtin.cpp.
 */
#include <errno.h>
#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "syntax.h"

#ifndef VEXIL_VERSION
#define VEXIL_VERSION "unknown"
#endif
#ifndef VEXIL_MODULE_DIR
#define VEXIL_MODULE_DIR "/usr/local/lib/vexil/modules"
#endif

static const char *script_name;
static int stdout_errno; /* why output first failed to go out */

/* Before a message on standard error, so that the two come in order. */
static void
flush_stdout(void)
{
	if (fflush(stdout) == EOF && stdout_errno == 0)
		stdout_errno = errno;
}

void
fail(Pos at, const char *fmt, ...)
{
	va_list ap;

	flush_stdout();
	fprintf(stderr, "vexil: %s:%d:%d: ", script_name, at.line, at.col);
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	fputc('\n', stderr);
	finish(1);
}

void
warn(const char *fmt, ...)
{
	va_list ap;

	flush_stdout();
	fputs("vexil: ", stderr);
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	fputc('\n', stderr);
}

/*
 * Output that never arrived is a failed run, as with any filter: a full
 * disk or a closed standard output must not pass for success.  A closed
 * one that was never written to is no loss.
 */
static int
close_stdout(void)
{
	int failed = 1, e;

	flush_stdout();
	e = stdout_errno; /* 0: a write failed earlier, its errno is gone */
	if (e == 0 && !ferror(stdout))
		failed = 0;
	if (fclose(stdout) == EOF && !failed && errno != EBADF) {
		failed = 1;
		e = errno;
	}
	if (!failed)
		return 0;
	if (e != 0)
		fprintf(stderr, "vexil: write error: %s\n", strerror(e));
	else
		fprintf(stderr, "vexil: write error\n");
	return -1;
}

/* Every end of a run, good or bad, lets the modules' deinits run. */
void
finish(int status)
{
	release_variables();
	release_stack();
	unload_all();
	if (close_stdout() == -1)
		status = 1;
	exit(status);
}

/* Asked for, the usage goes to standard output and is no error. */
static void __attribute__((noreturn))
usage(FILE *to, int status)
{
	fprintf(to, "usage: vexil [-P path] [-m module[:namespace]]... [-e statements | file]\n");
	exit(fflush(to) == EOF ? 1 : status);
}

static int
read_source(const char *path, std::string &src)
{
	char buf[8192];
	size_t n;
	FILE *fp;

	if (strcmp(path, "-") == 0)
		fp = stdin;
	else if ((fp = fopen(path, "r")) == nullptr)
		return -1;
	while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
		src.append(buf, n);
	if (ferror(fp)) {
		if (fp != stdin)
			(void)fclose(fp);
		return -1;
	}
	if (fp != stdin)
		(void)fclose(fp);
	return 0;
}

/* -m module[:namespace] */
static void
load_option(const std::string &l)
{
	size_t colon = l.find(':');
	std::string name = l.substr(0, colon);
	std::string ns = colon == std::string::npos ? GLOBAL_NAMESPACE : l.substr(colon + 1);

	if (load_module(name.c_str(), ns.c_str()) == -1)
		finish(1);
}

static int
run(int argc, char *argv[])
{
	std::vector<std::string> loads;
	std::vector<std::string> paths;
	const char *statements = nullptr, *env;
	std::string src;
	int ch;
	static const struct option long_options[] = {
		{"help", no_argument, nullptr, 'h'},
		{"version", no_argument, nullptr, 'V'},
		{nullptr, 0, nullptr, 0},
	};

	while ((ch = getopt_long(argc, argv, "P:m:e:", long_options, nullptr)) != -1) {
		switch (ch) {
		case 'P':
			paths.push_back(optarg);
			break;
		case 'm':
			loads.push_back(optarg);
			break;
		case 'e':
			statements = optarg;
			break;
		case 'h':
			usage(stdout, 0);
		case 'V':
			printf("vexil %s, module API %d\n", VEXIL_VERSION, VEXIL_API_VERSION);
			return fflush(stdout) == EOF ? 1 : 0;
		default:
			usage(stderr, 2);
		}
	}
	argc -= optind;
	argv += optind;
	if (argc > 1 || (statements != nullptr && argc > 0))
		usage(stderr, 2);

	for (auto &p : paths)
		add_module_path(p.c_str());
	if ((env = getenv("VEXIL_MODULE_PATH")) != nullptr)
		add_module_path(env);
	add_module_path(VEXIL_MODULE_DIR);

	if (define_globals() == -1) {
		warn("cannot set up the Global namespace");
		return 1;
	}

	if (statements != nullptr) {
		script_name = "-e";
		src = statements;
	} else {
		script_name = argc > 0 ? argv[0] : "-";
		if (read_source(script_name, src) == -1) {
			warn("%s: %s", script_name, strerror(errno));
			return 1;
		}
	}
	std::vector<Node> program = parse(lex(src));

	for (auto &l : loads)
		load_option(l);
	evaluate(program);
	finish(0);
}

int
main(int argc, char *argv[])
{
	try {
		return run(argc, argv);
	} catch (const std::bad_alloc &) {
		warn("out of memory");
		finish(1);
	}
}
