/* SPDX-License-Identifier: ISC */
/*
 * Cache entries, read back: a cache must never answer differently from the
 * work it saves, so an entry gives back exactly the facts it was made of,
 * and anything that is not such an entry (another key, a damaged or
 * truncated file, facts written another way) is refused.  Also the JSON
 * strings that the facts are printed as.
 */
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ccfacts.h"

namespace {

const std::string key = "cc 3:gcc\nstd-c 3:c99\n";

facts
sample()
{
	facts f;
	f.compiler = "GNU";
	f.platform = "Linux";
	f.arch = "";
	f.dialect_default = "17";
	f.abi = "ELF";
	f.arch_key = "__mips__ a~b";
	f.version[0] = 12;
	f.version[1] = 0;
	f.version[2] = 99999999;
	f.sizeof_dptr = 4;
	f.sizeof_ushort = 2;
	f.big_endian = true;
	f.c_features.features = { { "c_restrict", true }, { "c_static_assert", false } };
	return f;
}

/* An entry around PAYLOAD, its lengths and checksum right: only the facts can be wrong. */
std::string
sealed(const std::string &payload)
{
	std::string e = "ccfacts cache 1\n" + std::to_string(key.size()) + "\n" + key +
	    std::to_string(payload.size()) + "\n" + payload;
	return e + hex(fnv1a(e)) + "\n";
}

/* The facts part of an entry made by cache_entry. */
std::string
payload_of(const std::string &entry)
{
	size_t at = entry.find('\n', entry.find(key) + key.size());
	return entry.substr(at + 1, entry.size() - at - 1 - 17);
}

TEST(CacheEntry, GivesBackTheFactsItWasMadeOf)
{
	for (facts f : { sample(), facts() }) {
		std::string e = cache_entry(key, f);
		facts back;
		ASSERT_TRUE(entry_facts(e, key, back)) << e;
		EXPECT_TRUE(same_facts(f, back)) << e;
		EXPECT_EQ(cache_entry(key, back), e);
		EXPECT_EQ(sealed(payload_of(e)), e);
	}
}

TEST(CacheEntry, AnswersOnlyItsOwnKey)
{
	std::string e = cache_entry(key, sample());
	facts f;
	for (const std::string &other : std::vector<std::string>{ "", key.substr(0, key.size() - 1),
		    key + "x", "cc 3:gcc\nstd-c 3:c90\n" })
		EXPECT_FALSE(entry_facts(e, other, f)) << other;
}

TEST(CacheEntry, RefusesAnyDamage)
{
	std::string e = cache_entry(key, sample());
	facts f;
	for (size_t i = 0; i < e.size(); i++) {
		for (unsigned bit = 0; bit < 8; bit++) {
			std::string d = e;
			d[i] = static_cast<char>(d[i] ^ (1u << bit));
			EXPECT_FALSE(entry_facts(d, key, f)) << "byte " << i << " bit " << bit;
		}
		EXPECT_FALSE(entry_facts(e.substr(0, i), key, f)) << "cut at " << i;
	}
	EXPECT_FALSE(entry_facts(e + "\n", key, f));
}

/*
 * Facts that cache_entry would never write, even in an entry whose lengths
 * and checksum are right: one text per facts, so a reader that let any of
 * these through could answer what no probe said.
 */
TEST(CacheEntry, RefusesFactsWrittenAnotherWay)
{
	const std::string good = payload_of(cache_entry(key, sample()));
	facts f;
	ASSERT_TRUE(entry_facts(sealed(good), key, f));

	const std::pair<const char *, const char *> edits[] = {
		{ "version 12\n", "version 012\n" },
		{ "version 12\n", "version +12\n" },
		{ "version 12\n", "version 12 \n" },
		{ "version 99999999\n", "version 100000000\n" },
		{ "version 0\n", "version \n" },
		{ "sizeof_dptr 4\n", "sizeof_dptr  4\n" },
		{ "big_endian 1\n", "big_endian 2\n" },
		{ "compiler GNU\n", "compiler G]U\n" },
		{ "compiler GNU\n", "compiler G\tU\n" },
		{ "compiler GNU\n", "compiler G\x80U\n" },
		{ "compiler GNU\n", "compilerGNU\n" },
		{ "platform Linux\n", "" },
		{ "abi ELF\n", "abi ELF\nabi ELF\n" },
		{ "features 2\n", "features 3\n" },
		{ "features 2\n", "features 1\n" },
		{ "features 2\n", "features 02\n" },
		{ "1 c_restrict\n", "1 C_restrict\n" },
		{ "1 c_restrict\n", "2 c_restrict\n" },
		{ "1 c_restrict\n", "1 \n" },
		{ "features 0\n", "features 0\nextra 1\n" },
	};
	for (const auto &edit : edits) {
		std::string p = good;
		size_t at = p.find(edit.first);
		ASSERT_NE(at, std::string::npos) << edit.first;
		p.replace(at, strlen(edit.first), edit.second);
		EXPECT_FALSE(entry_facts(sealed(p), key, f)) << p;
	}
	EXPECT_FALSE(entry_facts(sealed(good.substr(0, good.size() - 1)), key, f));
}

/* RFC 8259 strings of UTF-8 (RFC 3629); a byte outside it as U+DC00 + byte. */
TEST(JsonString, Utf8PassesAndOtherBytesEscape)
{
	const std::pair<std::string, std::string> cases[] = {
		{ "", "\"\"" },
		{ "gcc -O2", "\"gcc -O2\"" },
		{ "\"\\", "\"\\\"\\\\\"" },
		{ std::string("\0\x1f\x7f", 3), "\"\\u0000\\u001f\\u007f\"" },
		{ "\n\t", "\"\\u000a\\u0009\"" },
		/* the edges of each sequence length, and of the surrogates */
		{ "\xc2\x80 \xdf\xbf", "\"\xc2\x80 \xdf\xbf\"" },
		{ "\xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80", "\"\xe0\xa0\x80 \xed\x9f\xbf \xee\x80\x80\"" },
		{ "\xf0\x90\x80\x80 \xf4\x8f\xbf\xbf", "\"\xf0\x90\x80\x80 \xf4\x8f\xbf\xbf\"" },
		/* overlong forms, surrogates, beyond U+10FFFF, lone and cut sequences */
		{ "\xc0\x80", "\"\\udcc0\\udc80\"" },
		{ "\xc1\xbf", "\"\\udcc1\\udcbf\"" },
		{ "\xe0\x9f\xbf", "\"\\udce0\\udc9f\\udcbf\"" },
		{ "\xed\xa0\x80", "\"\\udced\\udca0\\udc80\"" },
		{ "\xf0\x8f\xbf\xbf", "\"\\udcf0\\udc8f\\udcbf\\udcbf\"" },
		{ "\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\"" },
		{ "\xf5\x80\x80\x80", "\"\\udcf5\\udc80\\udc80\\udc80\"" },
		{ "a\x80z", "\"a\\udc80z\"" },
		{ "\xe2\x82", "\"\\udce2\\udc82\"" },
		{ "\xe2\x82\"", "\"\\udce2\\udc82\\\"\"" },
		{ "\xf0\x9f\x98", "\"\\udcf0\\udc9f\\udc98\"" },
	};
	for (const auto &c : cases)
		EXPECT_EQ(quoted(c.first), c.second);
}

} // namespace
