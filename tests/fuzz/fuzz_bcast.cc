/* SPDX-License-Identifier: ISC */
/*
 * bcast's message composition under libFuzzer: the input is the body
 * file, makemsg() composes the message from it as `bcast host FILE` does.
 *
 * The client's source is compiled into this file; its exits come back
 * here (exit() is redefined to jump), and the temporary file that an exit
 * leaves open is closed here as the exit would close it.
 *
 * Checked on every input:
 *  - a body that, with the header, exceeds what one call can carry is
 *    refused (status 1), and every other body is accepted;
 *  - the message is NUL-terminated at mbufsize and holds no other NUL;
 *  - it is the two header lines, an empty line and the body, where a NUL
 *    in the body drops the rest of the piece fgets read it in (up to the
 *    line's end, at most 99 bytes), as fputs stops at it.
 */
#include <sys/types.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <rpc/rpc.h>

#include <fcntl.h>
#include <paths.h>
#include <pwd.h>
#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

[[noreturn]] static void fuzz_exit(int);
static FILE *fuzz_fdopen(int, const char *);

#define main bcast_main
#define exit(s) fuzz_exit(s)
#define fdopen(fd, m) fuzz_fdopen(fd, m)
#include "bcast.cpp"
#undef main
#undef exit
#undef fdopen

static jmp_buf ended;
static FILE *temporary;		/* makemsg's temporary file, while open */
static char body_path[] = "/tmp/fuzz-bcast.XXXXXX";

static void
fuzz_exit(int status)
{
	longjmp(ended, status + 1);
}

static FILE *
fuzz_fdopen(int fd, const char *mode)
{
	return temporary = fdopen(fd, mode);
}

static void
remove_body(void)
{
	(void)unlink(body_path);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
	int fd;

	if ((fd = mkstemp(body_path)) == -1)
		abort();
	(void)close(fd);
	(void)atexit(remove_body);
	return 0;
}

/* The body as fgets and fputs carry it through: NULs cut their piece. */
static std::string
expected_body(const uint8_t *data, size_t size)
{
	std::string body;
	size_t i = 0;

	while (i < size) {
		size_t start = i, n = 0;
		while (i < size && n < 99) {
			n++;
			if (data[i++] == '\n')
				break;
		}
		const char *piece = (const char *)data + start;
		body.append(piece, strnlen(piece, i - start));
	}
	return body;
}

static bool
header_ok(const std::string &m, size_t *len)
{
	static const char line1[] = "Remote Broadcast Message from ";
	static const char line2[] = "        (";
	size_t nl1, nl2;

	if (m.compare(0, sizeof(line1) - 1, line1) != 0 ||
	    (nl1 = m.find('\n')) == std::string::npos ||
	    m.find('@', sizeof(line1) - 1) > nl1 ||
	    m.compare(nl1 + 1, sizeof(line2) - 1, line2) != 0 ||
	    (nl2 = m.find('\n', nl1 + 1)) == std::string::npos ||
	    m.compare(nl2 - 4, 4, " ...") != 0 ||
	    m.size() < nl2 + 2 || m[nl2 + 1] != '\n')
		return false;
	*len = nl2 + 2;
	return true;
}

/* makemsg() on DATA as the body file: 0, or the exit status plus one. */
static int
compose(const uint8_t *data, size_t size)
{
	volatile int status;
	FILE *fp;

	if ((fp = fopen(body_path, "w")) == NULL ||
	    fwrite(data, 1, size, fp) != size || fclose(fp) != 0)
		abort();
	mbuf = NULL;
	mbufsize = 0;
	temporary = NULL;
	if ((status = setjmp(ended)) == 0)
		makemsg(body_path);
	else if (temporary != NULL)
		(void)fclose(temporary);
	return status;
}

/* The header's length now (the time in it may change its width). */
static size_t
header_now(void)
{
	size_t head;

	if (compose(NULL, 0) != 0 || !header_ok(std::string(mbuf, mbufsize), &head))
		abort();
	free(mbuf);
	mbuf = NULL;
	return head;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	size_t max = msgmax(), before, head;

	before = header_now();
	if (compose(data, size) != 0) {
		if (mbuf != NULL)
			abort();
		/* refused: it must be too long */
		head = header_now();
		if ((head < before ? head : before) + size <= max) {
			fprintf(stderr, "a body of %zu bytes refused\n", size);
			abort();
		}
		return 0;
	}
	std::string m(mbuf, mbufsize);
	if (mbuf[mbufsize] != '\0' || m.find('\0') != std::string::npos ||
	    !header_ok(m, &head))
		abort();
	if (head + size > max) {
		fprintf(stderr, "a body of %zu bytes accepted, %zu fit\n", size, max - head);
		abort();
	}
	if (m.compare(head, std::string::npos, expected_body(data, size)) != 0) {
		fprintf(stderr, "the body was not carried as read\n");
		abort();
	}
	free(mbuf);
	mbuf = NULL;
	return 0;
}
