/* SPDX-License-Identifier: ISC */
/*
 * eval.cpp: runs a checked script by walking its syntax tree, statement
 * by statement: the script's variables, name lookup (variables, errno,
 * then constants), calls of intrinsics and built-ins, and the operators.
 * Integer arithmetic wraps at 32 bits, as the targets' int does.  What is
 * left to find out only at run time (an undefined name, an operand of the
 * wrong type) is an error at the place in the script where it happens.
 */
#include <stdint.h>

#include <map>
#include <utility>

#include "syntax.h"

static std::map<std::string, Value> variables;

static Value eval(const Node &n);

void
release_variables(void)
{
	variables.clear();
}

/* Intrinsics first, so that a module may stand in for a built-in. */
static Value
call(const Node &n)
{
	std::vector<Value> args;
	QualifiedName q;
	const Vexil_Intrin_Fun_Type *fun;
	const Builtin *b = nullptr;

	for (auto &k : n.kids)
		args.push_back(eval(k));
	q = split_name(n.text);
	if ((fun = find_intrinsic(q)) != nullptr)
		return call_intrinsic(fun, std::move(args), n.at);
	if (!q.qualified)
		b = find_builtin(q.name);
	if (b == nullptr)
		fail(n.at, "undefined function %s", n.text.c_str());
	return call_builtin(b, std::move(args), n.at);
}

static Value
name_value(const Node &n)
{
	int value;

	auto var = variables.find(n.text);
	if (var != variables.end())
		return var->second;
	if (n.text == "errno")
		return Value::integer(vexil_errno);
	if (find_iconstant(split_name(n.text), &value))
		return Value::integer(value);
	fail(n.at, "undefined name %s", n.text.c_str());
}

static uint32_t
int_operand(const Value &v, const char *op, Pos at)
{
	if (v.type() != VX_INT_TYPE)
		fail(at, "operator %s needs integers", op);
	return (uint32_t)v.i();
}

static bool
same_value(const Value &a, const Value &b)
{
	if (a.type() != b.type())
		return false;
	if (a.type() == VX_INT_TYPE)
		return a.i() == b.i();
	if (a.type() == VX_STRING_TYPE)
		return a.s() == b.s();
	return a.f() == b.f();
}

/* Both operands are evaluated before either is checked. */
static Value
apply(const Operator &op, const Value &a, const Value &b)
{
	uint32_t x, y;

	if (op.op == OP_EQ || op.op == OP_NE)
		return Value::integer(same_value(a, b) == (op.op == OP_EQ));
	x = int_operand(a, op.text, op.at);
	y = int_operand(b, op.text, op.at);
	switch (op.op) {
	case OP_OR:
		return Value::integer((int)(x | y));
	case OP_AND:
		return Value::integer((int)(x & y));
	case OP_ADD:
		return Value::integer((int)(x + y));
	default:
		return Value::integer((int)(x - y));
	}
}

static Value
chain(const Node &n)
{
	Value v = eval(n.kids[0]);

	for (size_t k = 0; k < n.ops.size(); k++) {
		Value r = eval(n.kids[k + 1]);
		v = apply(n.ops[k], v, r);
	}
	return v;
}

static Value
eval(const Node &n)
{
	Value v;
	uint32_t x;

	switch (n.kind) {
	case Node::INT:
		return Value::integer(n.num);
	case Node::STRING:
		return Value::string(n.text);
	case Node::NAME:
		return name_value(n);
	case Node::CALL:
		return call(n);
	case Node::NEGATE:
	case Node::COMPLEMENT:
		v = eval(n.kids[0]);
		x = int_operand(v, n.text.c_str(), n.at);
		return Value::integer((int)(n.kind == Node::COMPLEMENT ? ~x : 0u - x));
	case Node::CHAIN:
		return chain(n);
	case Node::ASSIGN: /* a statement, never an operand: the parser sees to it */
		break;
	}
	return Value::integer(0);
}

/* The value is taken before the old one is let go: "f = f" keeps f open. */
static void
assign(const Node &n)
{
	Value v = eval(n.kids[0]);

	variables[n.text] = std::move(v);
}

void
evaluate(const std::vector<Node> &program)
{
	for (auto &statement : program) {
		if (statement.kind == Node::ASSIGN) {
			assign(statement);
		} else {
			(void)eval(statement); /* its value goes at once */
		}
	}
}
