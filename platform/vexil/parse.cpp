/* SPDX-License-Identifier: ISC */
/*
 * parse.cpp: the tokens of a whole script into its syntax tree, by
 * recursive descent over the grammar in vexil(1).  Every syntax error in
 * the script is found here, before anything of it runs; names are not
 * resolved, since modules loaded at run time may still define them.
 *
 * The descent recurses once per parenthesis or unary operator; a bound on
 * their nesting keeps a hostile script from exhausting the C stack, here
 * and in the evaluator that walks the tree.
 */
#include "syntax.h"

#define MAX_NESTING 200

namespace {

/* One script's tokens and how far the descent has read into them. */
class Parser {
public:
	explicit Parser(const std::vector<Token> &toks) : toks_(toks) {}
	std::vector<Node> program(void);

private:
	const Token &peek(void) const { return toks_[tp_]; }
	bool is_op(const char *op) const;
	const Token &expect(const char *op);
	void nest(const Token &at);
	Node call(const Token &name);
	Node primary(void);
	Node unary(void);
	bool binary_op(int level, Operator *out);
	Node binary(int level);
	Node expression(void);
	Node statement(void);

	const std::vector<Token> &toks_;
	size_t tp_ = 0;  /* the next token */
	int nesting_ = 0; /* parentheses and unary operators open around it */
};

} // namespace

bool
Parser::is_op(const char *op) const
{
	return peek().kind == Token::OP && peek().text == op;
}

const Token &
Parser::expect(const char *op)
{
	if (!is_op(op))
		fail(peek().at, "expected '%s', found '%s'", op, peek().text.c_str());
	return toks_[tp_++];
}

void
Parser::nest(const Token &at)
{
	if (++nesting_ > MAX_NESTING)
		fail(at.at, "nesting deeper than %d levels", MAX_NESTING);
}

static Node
leaf(Node::Kind kind, const Token &t)
{
	return Node{kind, t.at, t.text, t.num, {}, {}};
}

Node
Parser::call(const Token &name)
{
	Node n = leaf(Node::CALL, name);

	nest(expect("("));
	if (!is_op(")")) {
		n.kids.push_back(expression());
		while (is_op(",")) {
			tp_++;
			n.kids.push_back(expression());
		}
	}
	expect(")");
	nesting_--;
	return n;
}

Node
Parser::primary(void)
{
	const Token &t = peek();

	switch (t.kind) {
	case Token::INT:
		tp_++;
		return leaf(Node::INT, t);
	case Token::STRING:
		tp_++;
		return leaf(Node::STRING, t);
	case Token::NAME:
		tp_++;
		return is_op("(") ? call(t) : leaf(Node::NAME, t);
	default:
		break;
	}
	if (is_op("(")) {
		nest(peek());
		tp_++;
		Node n = expression();
		expect(")");
		nesting_--;
		return n;
	}
	fail(t.at, "expected an expression, found '%s'", t.text.c_str());
}

Node
Parser::unary(void)
{
	if (is_op("~") || is_op("-")) {
		const Token &op = toks_[tp_++];
		Node n = leaf(op.text == "~" ? Node::COMPLEMENT : Node::NEGATE, op);
		nest(op);
		n.kids.push_back(unary());
		nesting_--;
		return n;
	}
	return primary();
}

/*
 * The binary operators by precedence level, loosest first: comparisons
 * bind loosest, so that "x & MASK == 0" reads as it looks.  Below the
 * last level come the unary operators.
 */
static const struct {
	const char *text;
	Op op;
	int level;
} binary_ops[] = {
	{"==", OP_EQ, 0},
	{"!=", OP_NE, 0},
	{"|", OP_OR, 1},
	{"&", OP_AND, 2},
	{"+", OP_ADD, 3},
	{"-", OP_SUB, 3},
};
#define UNARY_LEVEL 4

/* The current token as an operator of LEVEL, consumed; false if it is none. */
bool
Parser::binary_op(int level, Operator *out)
{
	for (auto &b : binary_ops)
		if (b.level == level && is_op(b.text)) {
			*out = Operator{b.op, b.text, peek().at};
			tp_++;
			return true;
		}
	return false;
}

/* A run of one level's operators is one CHAIN node, or just its operand. */
Node
Parser::binary(int level)
{
	Operator op;

	if (level == UNARY_LEVEL)
		return unary();
	Node first = binary(level + 1);
	if (!binary_op(level, &op))
		return first;
	Node n{Node::CHAIN, first.at, std::string(), 0, {}, {}};
	n.kids.push_back(std::move(first));
	do {
		n.ops.push_back(op);
		n.kids.push_back(binary(level + 1));
	} while (binary_op(level, &op));
	return n;
}

Node
Parser::expression(void)
{
	return binary(0);
}

Node
Parser::statement(void)
{
	if (peek().kind == Token::NAME && toks_[tp_ + 1].kind == Token::OP &&
	    toks_[tp_ + 1].text == "=") {
		const Token &name = toks_[tp_];
		tp_ += 2;
		if (name.text == "errno" || split_name(name.text).qualified)
			fail(name.at, "cannot assign to %s", name.text.c_str());
		Node n = leaf(Node::ASSIGN, name);
		n.kids.push_back(expression());
		return n;
	}
	return expression();
}

std::vector<Node>
Parser::program(void)
{
	std::vector<Node> program;

	for (;;) {
		while (peek().kind == Token::NEWLINE || is_op(";"))
			tp_++;
		if (peek().kind == Token::END)
			return program;
		program.push_back(statement());
		if (peek().kind != Token::NEWLINE && peek().kind != Token::END && !is_op(";"))
			fail(peek().at, "expected end of statement, found '%s'", peek().text.c_str());
	}
}

std::vector<Node>
parse(const std::vector<Token> &tokens)
{
	return Parser(tokens).program();
}
