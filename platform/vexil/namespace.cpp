/* SPDX-License-Identifier: ISC */
/*
 * namespace.cpp: names and the namespaces that hold them.  A namespace
 * maps a script's names to a module's intrinsic functions and integer
 * constants; the table that owns the namespaces lets them go at the end
 * of a run.  The namespace operations of vexil.h are defined here.
 *
 * Test hooks, read from the environment, make a module's failure paths
 * reachable:
 *   VEXIL_TEST_FAIL_NAMESPACE=NS   VXns_create_namespace fails for NS
 *   VEXIL_TEST_FAIL_INTRINSICS=NS  VXns_add_intrin_fun_table fails for NS
 *   VEXIL_TEST_FAIL_ICONSTANTS=NS  VXns_add_iconstant_table fails for NS
 */
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <new>
#include <utility>

#include "host.h"

struct _Vexil_NameSpace_Type {
	std::string name;
	std::map<std::string, const Vexil_Intrin_Fun_Type *> funs;
	std::map<std::string, int> consts;
};

static std::map<std::string, std::unique_ptr<Vexil_NameSpace_Type>> namespaces;
static std::vector<std::string> features;
static bool memory_exhausted; /* an operation a module called ran out */

/* ---- names and namespaces ---- */

int
valid_name(const char *s)
{
	if (*s == '\0' || !(isalpha((unsigned char)*s) || *s == '_'))
		return 0;
	for (; *s != '\0'; s++)
		if (!(isalnum((unsigned char)*s) || *s == '_'))
			return 0;
	return 1;
}

/* The namespace is what comes before the first dot. */
QualifiedName
split_name(const std::string &text)
{
	size_t dot = text.find('.');

	if (dot == std::string::npos)
		return QualifiedName{GLOBAL_NAMESPACE, text, false};
	return QualifiedName{text.substr(0, dot), text.substr(dot + 1), true};
}

static Vexil_NameSpace_Type *
find_namespace(const std::string &name)
{
	auto it = namespaces.find(name);

	return it == namespaces.end() ? nullptr : it->second.get();
}

const Vexil_Intrin_Fun_Type *
find_intrinsic(const QualifiedName &q)
{
	Vexil_NameSpace_Type *ns = find_namespace(q.ns);

	if (ns == nullptr)
		return nullptr;
	auto it = ns->funs.find(q.name);
	return it == ns->funs.end() ? nullptr : it->second;
}

bool
find_iconstant(const QualifiedName &q, int *value)
{
	Vexil_NameSpace_Type *ns = find_namespace(q.ns);

	if (ns == nullptr)
		return false;
	auto it = ns->consts.find(q.name);
	if (it == ns->consts.end())
		return false;
	*value = it->second;
	return true;
}

bool
has_feature(const std::string &feature)
{
	for (auto &f : features)
		if (f == feature)
			return true;
	return false;
}

static void
record_feature(const char *feature)
{
	if (feature != nullptr && !has_feature(feature))
		features.push_back(feature);
}

Vexil_NameSpace_Type *
create_namespace(const char *name)
{
	Vexil_NameSpace_Type *ns;

	if ((ns = find_namespace(name)) == nullptr) {
		std::unique_ptr<Vexil_NameSpace_Type> made(new Vexil_NameSpace_Type{name, {}, {}});
		ns = made.get();
		namespaces[name] = std::move(made);
	}
	return ns;
}

/* A table is checked whole before any row is added. */
static int
add_intrinsics(Vexil_NameSpace_Type *ns, const Vexil_Intrin_Fun_Type *table, const char *feature)
{
	const Vexil_Intrin_Fun_Type *row;

	for (row = table; row->name != nullptr; row++) {
		if (!valid_name(row->name) || row->name_type != VX_INTRINSIC_CLASS ||
		    row->i_fun == nullptr || row->num_args > VX_MAX_INTRIN_ARGS ||
		    row->return_type != VX_INT_TYPE)
			return -1;
		for (unsigned k = 0; k < row->num_args; k++)
			if (row->arg_types[k] != VX_INT_TYPE)
				return -1;
	}
	for (row = table; row->name != nullptr; row++)
		ns->funs[row->name] = row;
	record_feature(feature);
	return 0;
}

int
add_iconstants(Vexil_NameSpace_Type *ns, const Vexil_IConstant_Type *table, const char *feature)
{
	const Vexil_IConstant_Type *row;

	for (row = table; row->name != nullptr; row++)
		if (!valid_name(row->name) || row->name_type != VX_ICONSTANT_CLASS ||
		    row->data_type != VX_INT_TYPE)
			return -1;
	for (row = table; row->name != nullptr; row++)
		ns->consts[row->name] = row->value;
	record_feature(feature);
	return 0;
}

/* ---- the namespace operations, exported to modules ---- */

static int
test_hook(const char *var, const char *ns)
{
	const char *v = getenv(var);

	return v != nullptr && ns != nullptr && strcmp(v, ns) == 0;
}

/*
 * No exception may unwind through a module's frames: an operation that runs
 * out of memory fails to the module, and the host reports it once the
 * module has returned.
 */
void
check_memory(void)
{
	if (memory_exhausted)
		throw std::bad_alloc();
}

extern "C" Vexil_NameSpace_Type *
VXns_create_namespace(const char *name)
{
	if (name == nullptr || !valid_name(name) ||
	    test_hook("VEXIL_TEST_FAIL_NAMESPACE", name))
		return nullptr;
	try {
		return create_namespace(name);
	} catch (const std::bad_alloc &) {
		memory_exhausted = true;
		return nullptr;
	}
}

extern "C" int
VXns_add_intrin_fun_table(Vexil_NameSpace_Type *ns, const Vexil_Intrin_Fun_Type *table,
    const char *feature)
{
	if (ns == nullptr || table == nullptr ||
	    test_hook("VEXIL_TEST_FAIL_INTRINSICS", ns->name.c_str()))
		return -1;
	try {
		return add_intrinsics(ns, table, feature);
	} catch (const std::bad_alloc &) {
		memory_exhausted = true;
		return -1;
	}
}

extern "C" int
VXns_add_iconstant_table(Vexil_NameSpace_Type *ns, const Vexil_IConstant_Type *table,
    const char *feature)
{
	if (ns == nullptr || table == nullptr ||
	    test_hook("VEXIL_TEST_FAIL_ICONSTANTS", ns->name.c_str()))
		return -1;
	try {
		return add_iconstants(ns, table, feature);
	} catch (const std::bad_alloc &) {
		memory_exhausted = true;
		return -1;
	}
}

/* At the end of a run, once no module's deinit can look at them any more. */
void
drop_namespaces(void)
{
	namespaces.clear();
}
