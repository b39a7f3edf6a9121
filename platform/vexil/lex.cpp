/* SPDX-License-Identifier: ISC */
/*
 * lex.cpp: a script's bytes into tokens: integers (decimal or 0x, up to
 * 32 bits), strings with \n \t \\ \" escapes, names (maybe "ns.name"),
 * operators, and the newlines that end statements.  Newlines inside
 * parentheses are dropped here, so a call may span lines.  A malformed
 * token is a syntax error at its first byte.
 */
#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include "syntax.h"

static int
name_byte(char c)
{
	return isalnum((unsigned char)c) || c == '_';
}

static int
name_start(char c)
{
	return isalpha((unsigned char)c) || c == '_';
}

/* An integer literal from src[*ip]: its value, wrapped to 32 bits. */
static int
lex_integer(const std::string &src, size_t *ip, Pos at)
{
	size_t i = *ip, digits;
	unsigned long long n = 0;
	int base = 10;

	if (src[i] == '0' && i + 1 < src.size() && (src[i + 1] == 'x' || src[i + 1] == 'X')) {
		base = 16;
		i += 2;
	}
	for (digits = i; i < src.size() && isxdigit((unsigned char)src[i]); i++) {
		int d = isdigit((unsigned char)src[i]) ? src[i] - '0'
		    : (tolower((unsigned char)src[i]) - 'a' + 10);
		if (d >= base)
			break;
		n = n * base + d;
		if (n > UINT32_MAX)
			fail(at, "integer literal out of range");
	}
	if (i == digits || (i < src.size() && name_byte(src[i])))
		fail(at, "malformed integer literal");
	*ip = i;
	return (int)(uint32_t)n;
}

/* A string literal from the quote at src[*ip]: its value. */
static std::string
lex_string(const std::string &src, size_t *ip, Pos at)
{
	size_t i = *ip + 1;
	std::string s;

	while (i < src.size() && src[i] != '"' && src[i] != '\n') {
		/* A C string would end at the NUL: refuse what the callee cannot see. */
		if (src[i] == '\0' || (src[i] == '\\' && i + 1 < src.size() && src[i + 1] == '\0'))
			fail(at, "NUL byte in string");
		if (src[i] == '\\' && i + 1 < src.size()) {
			char e = src[++i];
			if (e != 'n' && e != 't' && e != '\\' && e != '"')
				fail(at, "unknown escape \\%c", e);
			s += e == 'n' ? '\n' : e == 't' ? '\t' : e;
		} else {
			s += src[i];
		}
		i++;
	}
	if (i >= src.size() || src[i] != '"')
		fail(at, "unterminated string");
	*ip = i + 1;
	return s;
}

std::vector<Token>
lex(const std::string &src)
{
	std::vector<Token> toks;
	size_t i = 0;
	int line = 1, col = 1, depth = 0;

	while (i < src.size()) {
		char c = src[i];
		Pos at{line, col};
		size_t start = i;

		if (c == '\n') {
			if (depth == 0)
				toks.push_back(Token{Token::NEWLINE, "newline", 0, at});
			i++, line++, col = 1;
			continue;
		}
		if (c == ' ' || c == '\t' || c == '\r') {
			i++, col++;
			continue;
		}
		if (c == '#') {
			while (i < src.size() && src[i] != '\n')
				i++;
			continue;
		}
		if (isdigit((unsigned char)c)) {
			int n = lex_integer(src, &i, at);
			toks.push_back(Token{Token::INT, src.substr(start, i - start), n, at});
		} else if (name_start(c)) {
			while (i < src.size() && (name_byte(src[i]) ||
			    (src[i] == '.' && i + 1 < src.size() && name_start(src[i + 1]))))
				i++;
			toks.push_back(Token{Token::NAME, src.substr(start, i - start), 0, at});
		} else if (c == '"') {
			std::string s = lex_string(src, &i, at);
			toks.push_back(Token{Token::STRING, s, 0, at});
		} else if ((c == '=' || c == '!') && i + 1 < src.size() && src[i + 1] == '=') {
			toks.push_back(Token{Token::OP, src.substr(i, 2), 0, at});
			i += 2;
		} else if (c != '\0' && strchr("&|~+-=(),;", c) != nullptr) {
			depth += c == '(' ? 1 : c == ')' && depth > 0 ? -1 : 0;
			toks.push_back(Token{Token::OP, std::string(1, c), 0, at});
			i++;
		} else if (isprint((unsigned char)c)) {
			fail(at, "unexpected character '%c'", c);
		} else {
			fail(at, "unexpected byte 0x%02x", (unsigned char)c);
		}
		col += (int)(i - start);
	}
	toks.push_back(Token{Token::END, "end of script", 0, Pos{line, col}});
	return toks;
}
