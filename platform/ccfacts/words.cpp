/* SPDX-License-Identifier: ISC */
/*
 * Shell words: the compiler commands and flags that ccfacts is given are
 * split as the shell splits them, and printed so that the shell reads them
 * back as the same words.
 */

#include "ccfacts.h"

/*
 * Words as the shell splits them, without its expansions: blanks separate
 * words, '...' keeps every character, "..." every one but the backslash
 * before " \ $ ` and newline, and a backslash elsewhere quotes the next
 * character.  False on a quote left open.
 */
bool
split_words(const std::string &s, std::vector<std::string> &out)
{
	std::string word;
	bool in_word = false;

	for (size_t i = 0; i < s.size(); i++) {
		char c = s[i];
		if (c == '\\' && i + 1 < s.size() && s[i + 1] == '\n') {
			i++;	/* a line continuation: gone, and no word of its own */
			continue;
		}
		if (c == ' ' || c == '\t' || c == '\n') {
			if (in_word)
				out.push_back(word);
			word.clear();
			in_word = false;
			continue;
		}
		in_word = true;
		if (c == '\'') {
			size_t close = s.find('\'', i + 1);
			if (close == std::string::npos)
				return false;
			word.append(s, i + 1, close - i - 1);
			i = close;
		} else if (c == '"') {
			static const std::string escaped = "\"\\$`\n";
			for (i++; i < s.size() && s[i] != '"'; i++) {
				if (s[i] == '\\' && i + 1 < s.size() &&
				    escaped.find(s[i + 1]) != std::string::npos && s[++i] == '\n')
					continue;
				word += s[i];
			}
			if (i >= s.size())
				return false;
		} else if (c == '\\' && i + 1 < s.size()) {
			word += s[++i];
		} else {
			word += c;
		}
	}
	if (in_word)
		out.push_back(word);
	return true;
}

/* A word as the shell reads it back, quoted only when it has to be. */
std::string
shell_word(const std::string &w)
{
	static const char plain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
	    "0123456789_@%+=:,./-";

	if (!w.empty() && w.find_first_not_of(plain) == std::string::npos)
		return w;
	std::string q = "'";
	for (char c : w)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}

std::string
joined(const std::vector<std::string> &w)
{
	std::string s;

	for (const auto &x : w)
		s += (s.empty() ? "" : " ") + shell_word(x);
	return s;
}
