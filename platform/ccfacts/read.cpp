/* SPDX-License-Identifier: ISC */
/*
 * What the probes' executables say.  The probes are never run: each
 * carries its answers as strings that its compiler wrote, and each has a
 * reader here that knows them.  A reader accepts only strings as the probe
 * writes them, whole and once; anything else ends the run with the reason.
 */

#include <sys/statvfs.h>
#include <sys/wait.h>

#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>

#include "ccfacts.h"

namespace {

const char little_text[] = "THIS IS LITTLE ENDIAN.";
const char big_text[] = "THIS IS BIG ENDIAN..";

/*
 * The first diagnostic of the compiler's output, for the one-line error.
 * The drivers' closing summaries ("ld returned 1 exit status") say less than
 * the linker's own line before them.
 */
std::string
first_error(const std::string &log)
{
	std::string first;
	size_t i = 0;

	while (i < log.size()) {
		size_t end = log.find('\n', i);
		if (end == std::string::npos)
			end = log.size();
		std::string line = log.substr(i, end - i);
		bool summary = line.find("returned 1 exit status") != std::string::npos ||
		    line.find("linker command failed") != std::string::npos;
		if (!summary && (line.find("error:") != std::string::npos ||
		    line.find("cannot find") != std::string::npos ||
		    line.find("undefined reference") != std::string::npos))
			return line;
		if (first.empty() && !line.empty())
			first = line;
		i = end + 1;
	}
	return first;
}

/*
 * Why a compiler that failed said nothing: most often its messages had
 * nowhere to go, the work directory's file system being full.
 */
std::string
silent_failure(const run &r)
{
	struct statvfs fs;
	std::string tmp = r.workdir.substr(0, r.workdir.rfind('/'));

	if (statvfs(r.workdir.c_str(), &fs) == 0 && (fs.f_bavail == 0 || fs.f_favail == 0))
		return "no space left in " + (tmp.empty() ? "/" : tmp) +
		    " (TMPDIR), where its output and messages go";
	return "it gave no message";
}

void
check_build(const run &r, size_t i)
{
	const build &b = r.builds[i];
	const std::string &name = compiler_of(r, i).words.front();

	if (b.spawn_errno == ENOENT)
		probe_failed(i, "compiler not found: " + name);
	if (b.spawn_errno != 0)
		probe_failed(i, "cannot run " + name + ": " + strerror(b.spawn_errno));
	if (WIFEXITED(b.status) && WEXITSTATUS(b.status) == 0)
		return;

	std::string log;
	(void)read_regular(AT_FDCWD, b.log, log, 0);	/* without its log the status still tells */
	std::string how = WIFEXITED(b.status)
	    ? "status " + std::to_string(WEXITSTATUS(b.status))
	    : "signal " + std::to_string(WTERMSIG(b.status));
	std::string why = first_error(log);
	if (why.empty())
		why = silent_failure(r);
	fprintf(stderr, "ccfacts: %s: does not compile or link with %s (%s): %s\n",
	    probes[i].name, name.c_str(), how.c_str(), why.c_str());
	if (!log.empty())
		fputs(log.c_str(), stderr);
	exit(1);
}

size_t
count(const std::string &data, const std::string &text)
{
	size_t n = 0;
	for (size_t i = data.find(text); i != std::string::npos; i = data.find(text, i + 1))
		n++;
	return n;
}

/*
 * The strings "INFO:" key "[" value "]" NUL of one executable, by key.  Only
 * the size string may carry " key[" macro "]" before its NUL; that part is
 * returned as the value of the pseudo key "size.key".
 */
std::map<std::string, std::string>
info_strings(size_t i, const std::string &data)
{
	std::map<std::string, std::string> found;
	static const std::string prefix = "INFO:";

	for (size_t at = data.find(prefix); at != std::string::npos;
	    at = data.find(prefix, at + 1)) {
		size_t k = at + prefix.size();
		size_t open = k;
		while (open < data.size() && (islower(static_cast<unsigned char>(data[open])) ||
		    data[open] == '_'))
			open++;
		std::string key = data.substr(k, open - k);
		if (key.empty() || open >= data.size() || data[open] != '[')
			probe_failed(i, "malformed information string at offset " +
			    std::to_string(at));
		size_t close = open + 1;
		while (close < data.size() && value_char(data[close]))
			close++;
		if (close >= data.size() || data[close] != ']')
			probe_failed(i, "malformed string INFO:" + key);
		std::string value = data.substr(open + 1, close - open - 1);
		size_t end = close + 1;
		static const std::string keypart = " key[";
		if (key == "size" && data.compare(end, keypart.size(), keypart) == 0) {
			size_t kclose = end + keypart.size();
			while (kclose < data.size() && value_char(data[kclose]))
				kclose++;
			if (kclose >= data.size() || data[kclose] != ']')
				probe_failed(i, "malformed string INFO:size");
			found["size.key"] = data.substr(end + keypart.size(),
			    kclose - end - keypart.size());
			end = kclose + 1;
		}
		if (end >= data.size() || data[end] != '\0')
			probe_failed(i, "malformed string INFO:" + key + ": no NUL after it");
		if (!found.emplace(key, value).second)
			probe_failed(i, "string INFO:" + key + " appears more than once");
	}
	return found;
}

std::string
take(size_t i, std::map<std::string, std::string> &strings, const std::string &key)
{
	auto it = strings.find(key);
	if (it == strings.end())
		probe_failed(i, "string INFO:" + key + " is missing");
	std::string v = it->second;
	strings.erase(it);
	return v;
}

void
no_other_strings(size_t i, const std::map<std::string, std::string> &strings)
{
	if (!strings.empty())
		probe_failed(i, "unexpected string INFO:" + strings.begin()->first);
}

/* A fixed-width decimal field of exactly `width` digits. */
unsigned long
field(size_t i, const std::string &key, const std::string &s, size_t width)
{
	if (s.size() != width || s.find_first_not_of("0123456789") != std::string::npos)
		probe_failed(i, "malformed string INFO:" + key + ": \"" + s + "\" is not " +
		    std::to_string(width) + " digits");
	return strtoul(s.c_str(), nullptr, 10);
}

void
read_ccid_probe(size_t i, const std::string &data, facts &f)
{
	auto s = info_strings(i, data);
	f.compiler = take(i, s, "compiler");
	f.platform = take(i, s, "platform");
	f.arch = take(i, s, "arch");
	f.dialect_default = take(i, s, "dialect_default");
	std::string v = take(i, s, "compiler_version");
	if (v.size() != 26 || v[8] != '.' || v[17] != '.')
		probe_failed(i, "malformed string INFO:compiler_version: \"" + v + "\"");
	for (int c = 0; c < 3; c++)
		f.version[c] = field(i, "compiler_version", v.substr(9 * c, 8), 8);
	no_other_strings(i, s);
}

void
read_abi(size_t i, const std::string &data, facts &f, bool first)
{
	auto s = info_strings(i, data);
	unsigned long dptr = field(i, "sizeof_dptr", take(i, s, "sizeof_dptr"), 2);
	std::string abi = take(i, s, "abi");
	no_other_strings(i, s);
	if (first) {
		f.sizeof_dptr = dptr;
		f.abi = abi;
	} else if (dptr != f.sizeof_dptr || abi != f.abi) {
		probe_failed(i, "pointer size " + std::to_string(dptr) + " and ABI " + abi +
		    " differ from the C compiler's " + std::to_string(f.sizeof_dptr) +
		    " and " + f.abi);
	}
}

void
read_typesize_probe(size_t i, const std::string &data, facts &f)
{
	auto s = info_strings(i, data);
	f.sizeof_ushort = field(i, "size", take(i, s, "size"), 5);
	auto key = s.find("size.key");
	if (key != s.end()) {
		f.arch_key = key->second;
		s.erase(key);
	}
	no_other_strings(i, s);
}

void
read_endian_probe(size_t i, const std::string &data, facts &f)
{
	size_t little = count(data, little_text), big = count(data, big_text);

	if (little + big == 0)
		probe_failed(i, "neither byte-order text is present");
	if (little > 0 && big > 0)
		probe_failed(i, "both byte-order texts are present");
	if (little > 1 || big > 1)
		probe_failed(i, "the byte-order text appears more than once");
	f.big_endian = big == 1;
	no_other_strings(i, info_strings(i, data));
}

/*
 * The feature list: a newline, then lines of prefix, digit, name, newline,
 * and a NUL after the last newline.  The prefix must occur nowhere else.
 */
void
read_features(size_t i, const std::string &data, const std::string &prefix,
    feature_list &list)
{
	size_t start = data.find("\n" + prefix);
	if (start == std::string::npos)
		probe_failed(i, "the " + prefix + " list is missing");
	size_t at = start + 1;
	size_t lines = 0;
	std::map<std::string, int> seen;

	while (at < data.size() && data[at] != '\0') {
		if (data.compare(at, prefix.size(), prefix) != 0)
			probe_failed(i, "malformed " + prefix + " line");
		size_t d = at + prefix.size();
		size_t nl = data.find('\n', d);
		size_t nul = data.find('\0', d);
		if (nl == std::string::npos || (nul != std::string::npos && nul < nl))
			probe_failed(i, "malformed " + prefix + " line: no newline");
		std::string name = data.substr(d + 1, nl - d - 1);
		if ((data[d] != '0' && data[d] != '1') || name.empty() ||
		    name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") !=
		    std::string::npos)
			probe_failed(i, "malformed " + prefix + " line: \"" +
			    data.substr(at, nl - at) + "\"");
		if (seen[name]++ > 0)
			probe_failed(i, "feature " + name + " appears more than once");
		list.features.emplace_back(name, data[d] == '1');
		lines++;
		at = nl + 1;
	}
	if (at >= data.size())
		probe_failed(i, "the " + prefix + " list is not terminated");
	if (count(data, prefix) != lines)
		probe_failed(i, "the " + prefix + " list appears more than once");
}

/* The readers of the probe table, each named after its probe. */
void
read_link_probe(size_t i, const std::string &data, facts &)
{
	no_other_strings(i, info_strings(i, data));
}

/* The C ABI probe is read before the C++ one, which must agree with it. */
void
read_abi_probe_c(size_t i, const std::string &data, facts &f)
{
	read_abi(i, data, f, true);
}

void
read_abi_probe_cxx(size_t i, const std::string &data, facts &f)
{
	read_abi(i, data, f, false);
}

void
read_feature_probe_c(size_t i, const std::string &data, facts &f)
{
	read_features(i, data, "C_FEATURE:", f.c_features);
}

void
read_feature_probe_cxx(size_t i, const std::string &data, facts &f)
{
	read_features(i, data, "CXX_FEATURE:", f.cxx_features);
}

} // namespace

/* A probe without a reader, or a reader without a probe, does not compile. */
#define CCFACTS_PROBE(id, name, source, language, dialect) \
	{ name, source, lang::language, dialect, read_##id },
const probe probes[nprobes] = { CCFACTS_PROBES(CCFACTS_PROBE) };
#undef CCFACTS_PROBE

[[noreturn]] void
probe_failed(size_t i, const std::string &what)
{
	fprintf(stderr, "ccfacts: %s: %s\n", probes[i].name, what.c_str());
	exit(1);
}

void
read_all(run &r, facts &f)
{
	for (size_t i = 0; i < nprobes; i++)
		if (!skipped(r, i))
			check_build(r, i);
	for (size_t i = 0; i < nprobes; i++) {
		if (skipped(r, i))
			continue;
		std::string data;
		std::string why = read_regular(AT_FDCWD, r.builds[i].exe, data, 0);
		if (!why.empty())
			probe_failed(i, "cannot read the executable: " + why);
		probes[i].read(i, data, f);
	}
	f.c_features.dialect = r.std_c;
	f.cxx_features.dialect = r.std_cxx;
}
