/* SPDX-License-Identifier: ISC */
/*
 * The shell words of ccfacts (--cc, --cxx, --cflags and the response files
 * the cache key follows are split into them; the table prints them back),
 * against Debian's /bin/sh, which is what a user's build script runs them
 * through.  Inputs use no expansion, globbing or operator characters: those
 * ccfacts does not do, by design.
 */
#include <sys/wait.h>

#include <stdio.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ccfacts.h"

namespace {

using words = std::vector<std::string>;

/*
 * The words /bin/sh makes of TEXT given as arguments, after a marker so
 * that no words and one empty word differ (TEXT ends the script, as a
 * backslash that ends it is a plain one); false when the shell refuses the
 * text (a quote left open).
 */
bool
shell_split(const std::string &text, words &out)
{
	std::string script = "exec 2>/dev/null\nprintf '%s\\0' BEGIN " + text;
	FILE *p = popen(script.c_str(), "r");
	if (p == nullptr)
		return false;
	std::string got;
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
		got.append(buf, n);
	int status = pclose(p);
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		return false;
	out.clear();
	for (size_t at = 0, nul; (nul = got.find('\0', at)) != std::string::npos; at = nul + 1)
		out.push_back(got.substr(at, nul - at));
	if (out.empty() || out.front() != "BEGIN")
		return false;
	out.erase(out.begin());
	return true;
}

/*
 * Texts the comparison leaves out.  A newline that no backslash escapes
 * separates commands in a script and is a blank for ccfacts, which reads no
 * scripts.
 */
bool
not_comparable(const std::string &s)
{
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] != '\n')
			continue;
		size_t backslashes = 0;
		while (backslashes < i && s[i - 1 - backslashes] == '\\')
			backslashes++;
		if (backslashes % 2 == 0)
			return true;
	}
	return false;
}

TEST(SplitWords, QuotesAndBackslashes)
{
	const struct {
		const char *text;
		words want;
	} cases[] = {
		{ "", {} },
		{ " \t\n ", {} },
		{ "gcc  -O2\t-g\n-c", { "gcc", "-O2", "-g", "-c" } },
		{ "''", { "" } },
		{ "a'' ''b", { "a", "b" } },
		{ "'a b'\"c d\"e\\ f", { "a bc de f" } },
		{ "'\\\"$`'", { "\\\"$`" } },
		{ "\"\\\" \\\\ \\$ \\` \\a\"", { "\" \\ $ ` \\a" } },
		{ "\"a\\\nb\"", { "ab" } },
		{ "'a\\\nb'", { "a\\\nb" } },
		{ "a\\\nb", { "ab" } },
		{ "\\'x\\\"", { "'x\"" } },
		{ "a\\", { "a\\" } },
		{ "-DNAME=\"a b\"", { "-DNAME=a b" } },
	};
	for (const auto &c : cases) {
		words got;
		EXPECT_TRUE(split_words(c.text, got)) << c.text;
		EXPECT_EQ(got, c.want) << c.text;
	}
	for (const char *open : { "'", "\"", "a 'b", "\"a\\\"", "'a'\"b" }) {
		words got;
		EXPECT_FALSE(split_words(open, got)) << open;
	}
}

TEST(SplitWords, AgreesWithTheShell)
{
	static const char *const pieces[] = { "a", "b", " ", "\t", "'", "\"", "\\", "\\\n", "-",
		"/", "=", "\xc3\xa9", "\x01" };
	std::mt19937 rng(21);
	int compared = 0, refused = 0;

	for (int k = 0; k < 400; k++) {
		std::string s;
		for (int n = rng() % 12; n > 0; n--)
			s += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
		if (not_comparable(s))
			continue;
		words ours, theirs;
		bool ok = split_words(s, ours);
		ASSERT_EQ(ok, shell_split(s, theirs)) << "[" << s << "]";
		if (ok) {
			EXPECT_EQ(ours, theirs) << "[" << s << "]";
		}
		compared++;
		refused += !ok;
	}
	/* the comparison reached both kinds of text */
	EXPECT_GT(compared, 300);
	EXPECT_GT(refused, 50);
	EXPECT_LT(refused, compared - 50);
}

/* A line continuation joins what it separates and is no word itself. */
TEST(SplitWords, LineContinuations)
{
	for (const char *text : { "a \\\n b", "\\\n a b", "a b \\\n", "a \\\n\t\\\n b" }) {
		words ours, theirs;
		ASSERT_TRUE(split_words(text, ours)) << text;
		ASSERT_TRUE(shell_split(text, theirs)) << text;
		EXPECT_EQ(ours, words({ "a", "b" })) << text;
		EXPECT_EQ(ours, theirs) << text;
	}
	words joined;
	ASSERT_TRUE(split_words("-DX=a\\\nb", joined));
	EXPECT_EQ(joined, words({ "-DX=ab" }));
}

TEST(ShellWord, PlainWordsStayPlain)
{
	for (const char *w : { "gcc", "-O2", "--sysroot=/usr/mips", "-Wl,-z,now", "@rsp", "a+b%c",
		    "x86_64-linux-gnu-g++" })
		EXPECT_EQ(shell_word(w), w);
	EXPECT_EQ(shell_word(""), "''");
	EXPECT_EQ(shell_word("a b"), "'a b'");
	EXPECT_EQ(shell_word("it's"), "'it'\\''s'");
	EXPECT_EQ(joined({ "cc", "", "-DX=a b" }), "cc '' '-DX=a b'");
	EXPECT_EQ(joined({}), "");
}

/* What the table prints is what --cc and the shell read back as the same words. */
TEST(ShellWord, ReadBackAsTheSameWords)
{
	std::mt19937 rng(3);
	for (int k = 0; k < 200; k++) {
		words ws;
		for (int n = rng() % 4; n > 0; n--) {
			std::string w;
			for (int len = rng() % 6; len > 0; len--)
				w += static_cast<char>(1 + rng() % 255);
			ws.push_back(w);
		}
		std::string line = joined(ws);
		words ours, theirs;
		ASSERT_TRUE(split_words(line, ours)) << line;
		EXPECT_EQ(ours, ws) << line;
		ASSERT_TRUE(shell_split(line, theirs)) << line;
		EXPECT_EQ(theirs, ws) << line;
	}
}

} // namespace
