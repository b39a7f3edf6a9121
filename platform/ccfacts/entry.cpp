/* SPDX-License-Identifier: ISC */
/*
 * A cache entry: what one toolchain told, under the key it was told for.
 * An entry is read back as strictly as it is written, so that the facts it
 * gives are the very facts that were stored, and there is one entry for
 * any facts: a cache must never answer differently from the work it saves.
 */

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "ccfacts.h"

namespace {

const char cache_magic[] = "ccfacts cache 1\n";

/* The facts as the cache keeps them: one "name value" line each. */
std::string
facts_text(const facts &f)
{
	std::string t;
	auto line = [&t](const char *name, const std::string &value) {
		t += std::string(name) + " " + value + "\n";
	};

	line("compiler", f.compiler);
	line("platform", f.platform);
	line("arch", f.arch);
	line("dialect_default", f.dialect_default);
	line("abi", f.abi);
	line("arch_key", f.arch_key);
	for (unsigned long v : f.version)
		line("version", std::to_string(v));
	line("sizeof_dptr", std::to_string(f.sizeof_dptr));
	line("sizeof_ushort", std::to_string(f.sizeof_ushort));
	line("big_endian", f.big_endian ? "1" : "0");
	for (const feature_list *list : { &f.c_features, &f.cxx_features }) {
		line("features", std::to_string(list->features.size()));
		for (const auto &ft : list->features)
			line(ft.second ? "1" : "0", ft.first);
	}
	return t;
}

/* Where reading facts_text back has come to. */
struct cursor {
	const std::string &text;
	size_t at;
};

/* The line "name value", read as strictly as the probes' own strings. */
bool
cached_value(cursor &c, const char *name, std::string &v)
{
	const std::string &t = c.text;
	size_t n = strlen(name);

	if (t.compare(c.at, n, name) != 0 || c.at + n >= t.size() || t[c.at + n] != ' ')
		return false;
	size_t end = t.find('\n', c.at + n + 1);
	if (end == std::string::npos)
		return false;
	v = t.substr(c.at + n + 1, end - c.at - n - 1);
	c.at = end + 1;
	return std::all_of(v.begin(), v.end(), value_char);
}

bool
cached_number(cursor &c, const char *name, unsigned long &n)
{
	std::string v;

	/* Only as facts_text writes it: no leading zero, so one text per number. */
	if (!cached_value(c, name, v) || v.empty() || v.size() > 8 ||
	    v.find_first_not_of("0123456789") != std::string::npos || (v[0] == '0' && v.size() > 1))
		return false;
	n = strtoul(v.c_str(), nullptr, 10);
	return true;
}

bool
cached_features(cursor &c, feature_list &list)
{
	unsigned long n;

	if (!cached_number(c, "features", n))
		return false;
	for (unsigned long k = 0; k < n; k++) {
		std::string name;
		bool on = c.text.compare(c.at, 1, "1") == 0;
		if (!cached_value(c, on ? "1" : "0", name) || name.empty() ||
		    name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") !=
		    std::string::npos)
			return false;
		list.features.emplace_back(name, on);
	}
	return true;
}

bool
facts_from(const std::string &text, facts &f)
{
	cursor c = { text, 0 };
	unsigned long big;

	if (!cached_value(c, "compiler", f.compiler) ||
	    !cached_value(c, "platform", f.platform) || !cached_value(c, "arch", f.arch) ||
	    !cached_value(c, "dialect_default", f.dialect_default) ||
	    !cached_value(c, "abi", f.abi) || !cached_value(c, "arch_key", f.arch_key))
		return false;
	for (unsigned long &v : f.version)
		if (!cached_number(c, "version", v))
			return false;
	if (!cached_number(c, "sizeof_dptr", f.sizeof_dptr) ||
	    !cached_number(c, "sizeof_ushort", f.sizeof_ushort) ||
	    !cached_number(c, "big_endian", big) || big > 1)
		return false;
	f.big_endian = big == 1;
	return cached_features(c, f.c_features) && cached_features(c, f.cxx_features) &&
	    c.at == text.size();
}

/* A counted part of an entry at `at`, or false. */
bool
counted(const std::string &e, size_t &at, std::string &part)
{
	size_t nl = e.find('\n', at);
	if (nl == std::string::npos || nl == at || nl - at > 8 ||
	    e.find_first_not_of("0123456789", at) != nl)
		return false;
	size_t n = strtoul(e.c_str() + at, nullptr, 10);
	if (n > e.size() - nl - 1)
		return false;
	part = e.substr(nl + 1, n);
	at = nl + 1 + n;
	return true;
}

} // namespace

/*
 * An entry: the magic line; the key and the facts, each after a line with
 * its length; then the checksum of all before it.  The whole key is kept,
 * so that two keys with one name only miss each other.
 */
std::string
cache_entry(const std::string &key, const facts &f)
{
	std::string payload = facts_text(f);
	std::string e = cache_magic + std::to_string(key.size()) + "\n" + key +
	    std::to_string(payload.size()) + "\n" + payload;
	return e + hex(fnv1a(e)) + "\n";
}

bool
entry_facts(const std::string &e, const std::string &key, facts &f)
{
	size_t at = sizeof(cache_magic) - 1;
	std::string stored_key, payload;

	if (e.compare(0, at, cache_magic) != 0 || !counted(e, at, stored_key) ||
	    stored_key != key || !counted(e, at, payload) ||
	    e.size() != at + 17 || e.compare(at, 16, hex(fnv1a(e.substr(0, at)))) != 0 ||
	    e[at + 16] != '\n')
		return false;
	return facts_from(payload, f);
}

/* Whether two facts make the same entry: the dialects are the run's, not the entry's. */
bool
same_facts(const facts &a, const facts &b)
{
	return a.compiler == b.compiler && a.platform == b.platform && a.arch == b.arch &&
	    a.dialect_default == b.dialect_default && a.abi == b.abi &&
	    a.arch_key == b.arch_key && a.version[0] == b.version[0] &&
	    a.version[1] == b.version[1] && a.version[2] == b.version[2] &&
	    a.sizeof_dptr == b.sizeof_dptr && a.sizeof_ushort == b.sizeof_ushort &&
	    a.big_endian == b.big_endian &&
	    a.c_features.features == b.c_features.features &&
	    a.cxx_features.features == b.cxx_features.features;
}
