/* SPDX-License-Identifier: ISC */
/*
 * syntax.h: a script as the lexer, the parser and the evaluator hand it
 * on: tokens, then a syntax tree of the whole script.  A tree exists only
 * for a script whose syntax has been checked to its end, so nothing runs
 * before every statement is known to be well formed.
 */
#ifndef SYNTAX_H
#define SYNTAX_H

#include <string>
#include <vector>

#include "host.h"

struct Token {
	enum Kind { END, NEWLINE, INT, STRING, NAME, OP } kind;
	std::string text; /* what an error says was found */
	int num;          /* INT */
	Pos at;
};

/* The binary operators, one precedence level per chain. */
enum Op { OP_EQ, OP_NE, OP_OR, OP_AND, OP_ADD, OP_SUB };

struct Operator {
	Op op;
	const char *text;
	Pos at;
};

/*
 * A left-associative run of operators at one level ("a + b - c") is one
 * CHAIN node that the evaluator folds in a loop, so a long line of sums
 * does not make a deep tree; only parentheses and unary operators nest.
 */
struct Node {
	enum Kind {
		INT,        /* num */
		STRING,     /* text */
		NAME,       /* text, maybe "namespace.name" */
		CALL,       /* text the function, kids the arguments */
		NEGATE,     /* kids[0], at the operator */
		COMPLEMENT, /* kids[0], at the operator */
		CHAIN,      /* kids[k] ops[k] kids[k + 1] ... */
		ASSIGN,     /* text the variable, kids[0] the value */
	} kind;
	Pos at;
	std::string text;
	int num;
	std::vector<Node> kids;
	std::vector<Operator> ops;
};

std::vector<Token> lex(const std::string &src);
std::vector<Node> parse(const std::vector<Token> &toks);
void evaluate(const std::vector<Node> &program);
void release_variables(void);

#endif /* SYNTAX_H */
