/* SPDX-License-Identifier: ISC */
/*
 * The facts as a person reads them (a table) or a program does (one JSON
 * object).
 */

#include <err.h>
#include <stdio.h>

#include "ccfacts.h"

namespace {

std::string
version_text(const facts &f)
{
	return std::to_string(f.version[0]) + "." + std::to_string(f.version[1]) + "." +
	    std::to_string(f.version[2]);
}

void
print_features(const char *label, const feature_list &list)
{
	std::string head = std::string(label) + " (" +
	    (list.dialect.empty() ? "default dialect" : "-std=" + list.dialect) + ")";
	std::string line;
	size_t n = 0;

	printf("%s:\n", head.c_str());
	for (const auto &ft : list.features) {
		if (!ft.second)
			continue;
		n++;
		if (!line.empty() && line.size() + 1 + ft.first.size() > 76) {
			printf("%s\n", line.c_str());
			line.clear();
		}
		line += (line.empty() ? "  " : " ") + ft.first;
	}
	if (n == 0)
		line = "  none";
	printf("%s\n", line.c_str());
	printf("  (%zu of %zu)\n", n, list.features.size());
}

void
print_table(const run &r, const facts &f)
{
	printf("%-24s %s\n", "C compiler", joined(r.cc.words).c_str());
	printf("%-24s %s\n", "C++ compiler", r.no_cxx ? "none" : joined(r.cxx.words).c_str());
	if (!r.cflags.empty())
		printf("%-24s %s\n", "flags", joined(r.cflags).c_str());
	printf("%-24s %s\n", "probe sources", r.probe_dir.c_str());
	printf("%-24s %s\n", "compiler", f.compiler.empty() ? "(unknown)" : f.compiler.c_str());
	printf("%-24s %s\n", "version", version_text(f).c_str());
	printf("%-24s %s\n", "platform", f.platform.empty() ? "(unknown)" : f.platform.c_str());
	printf("%-24s %s\n", "architecture", f.arch.empty() ? "(none)" : f.arch.c_str());
	printf("%-24s %s\n", "default C dialect", f.dialect_default.c_str());
	printf("%-24s %lu bytes\n", "data pointer", f.sizeof_dptr);
	printf("%-24s %s\n", "ABI", f.abi.c_str());
	printf("%-24s %s\n", "byte order", f.big_endian ? "big-endian" : "little-endian");
	printf("%-24s %lu bytes\n", "unsigned short", f.sizeof_ushort);
	printf("%-24s %s\n", "architecture key", f.arch_key.empty() ? "(none)" : f.arch_key.c_str());
	printf("%-24s %s\n", "links a C program", "yes");
	print_features("C features", f.c_features);
	if (!r.no_cxx)
		print_features("C++ features", f.cxx_features);
}

/*
 * The length of the well-formed UTF-8 sequence at s[i] (RFC 3629: no
 * overlong forms, no surrogates, nothing above U+10FFFF), else 0.
 */
size_t
utf8_length(const std::string &s, size_t i)
{
	unsigned char c = static_cast<unsigned char>(s[i]);
	unsigned char lo = 0x80, hi = 0xbf;
	size_t n;

	if (c < 0x80)
		return 1;
	if (c >= 0xc2 && c <= 0xdf)
		n = 2;
	else if (c >= 0xe0 && c <= 0xef)
		n = 3;
	else if (c >= 0xf0 && c <= 0xf4)
		n = 4;
	else
		return 0;
	if (c == 0xe0)
		lo = 0xa0;
	else if (c == 0xed)
		hi = 0x9f;
	else if (c == 0xf0)
		lo = 0x90;
	else if (c == 0xf4)
		hi = 0x8f;
	if (i + n > s.size())
		return 0;
	for (size_t k = 1; k < n; k++) {
		unsigned char d = static_cast<unsigned char>(s[i + k]);
		if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xbf))
			return 0;
	}
	return n;
}

} // namespace

/*
 * A JSON string.  UTF-8 passes through; a byte that is not part of it (a
 * file name need not be text) becomes the lone surrogate U+DC00 + byte, as
 * Python's surrogateescape reads it back.
 */
std::string
quoted(const std::string &s)
{
	std::string q = "\"";
	char buf[8];

	for (size_t i = 0; i < s.size();) {
		unsigned char c = static_cast<unsigned char>(s[i]);
		size_t n = utf8_length(s, i);
		if (n == 0) {
			(void)snprintf(buf, sizeof(buf), "\\udc%02x", c);
			q += buf;
			n = 1;
		} else if (c == '"' || c == '\\') {
			q += '\\';
			q += static_cast<char>(c);
		} else if (c < 0x20 || c == 0x7f) {
			(void)snprintf(buf, sizeof(buf), "\\u%04x", c);
			q += buf;
		} else {
			q.append(s, i, n);
		}
		i += n;
	}
	return q + "\"";
}

namespace {

std::string
quoted_list(const std::vector<std::string> &w)
{
	std::string s = "[";
	for (size_t i = 0; i < w.size(); i++)
		s += (i ? ", " : "") + quoted(w[i]);
	return s + "]";
}

std::string
json_features(const feature_list &list)
{
	std::string s = "{\"dialect\": " + (list.dialect.empty() ? std::string("null")
	    : quoted(list.dialect)) + ", \"features\": {";
	for (size_t i = 0; i < list.features.size(); i++)
		s += (i ? ", " : "") + quoted(list.features[i].first) + ": " +
		    (list.features[i].second ? "true" : "false");
	return s + "}}";
}

void
print_json(const run &r, const facts &f)
{
	printf("{\n");
	printf("  \"cc\": %s,\n", quoted_list(r.cc.words).c_str());
	printf("  \"cxx\": %s,\n", r.no_cxx ? "null" : quoted_list(r.cxx.words).c_str());
	printf("  \"cflags\": %s,\n", quoted_list(r.cflags).c_str());
	printf("  \"probes\": %s,\n", quoted(r.probe_dir).c_str());
	printf("  \"compiler\": %s,\n", quoted(f.compiler).c_str());
	printf("  \"version\": [%lu, %lu, %lu],\n", f.version[0], f.version[1], f.version[2]);
	printf("  \"platform\": %s,\n", quoted(f.platform).c_str());
	printf("  \"arch\": %s,\n", quoted(f.arch).c_str());
	printf("  \"dialect_default\": %s,\n", quoted(f.dialect_default).c_str());
	printf("  \"sizeof_dptr\": %lu,\n", f.sizeof_dptr);
	printf("  \"abi\": %s,\n", quoted(f.abi).c_str());
	printf("  \"byte_order\": \"%s\",\n", f.big_endian ? "big" : "little");
	printf("  \"sizeof_unsigned_short\": %lu,\n", f.sizeof_ushort);
	printf("  \"arch_key\": %s,\n", f.arch_key.empty() ? "null" : quoted(f.arch_key).c_str());
	printf("  \"links\": true,\n");
	printf("  \"c_features\": %s,\n", json_features(f.c_features).c_str());
	printf("  \"cxx_features\": %s\n",
	    r.no_cxx ? "null" : json_features(f.cxx_features).c_str());
	printf("}\n");
}

} // namespace

void
print_facts(const run &r, const facts &f)
{
	if (r.json_output)
		print_json(r, f);
	else
		print_table(r, f);
	if (fflush(stdout) != 0 || ferror(stdout))
		err(1, "stdout");
}
