/* SPDX-License-Identifier: ISC */
/*
 * host.h: what the files of the vexil host share at run time: values and
 * the argument stack, namespaces and modules, the built-ins, and the
 * error exits.  A module sees none of this, only vexil.h.
 */
#ifndef HOST_H
#define HOST_H

#include <stddef.h>

#include <string>
#include <vector>

#include "vexil.h"

static_assert(sizeof(VXtype) == 4, "VXtype is 32 bits");
static_assert(sizeof(int) == 4, "int is 32 bits");

#define GLOBAL_NAMESPACE "Global"

/* Where in the script: errors name it. */
struct Pos {
	int line, col;
};

/* value.cpp: values, descriptor objects, the argument stack */

struct _VXFile_FD_Type {
	int fd;
	unsigned refs;
};

/* Every Value held in a variable, on the stack or in hand owns one reference. */
struct Value {
	VXtype type;
	int i;
	std::string s;
	VXFile_FD_Type *f;
};

extern int vexil_errno;

Value int_value(int i);
Value string_value(const std::string &s);
Value fd_value(int fd);
Value copy_value(const Value &v);
void release_value(Value &v);
void release_values(std::vector<Value> &vs);
Value call_intrinsic(const Vexil_Intrin_Fun_Type *fun, std::vector<Value> &args, Pos at);
void release_stack(void);

/* module.cpp: names, namespaces, modules */

/* A name as a script writes it: "name" lies in the Global namespace. */
struct QualifiedName {
	std::string ns, name;
	bool qualified;
};

int valid_name(const char *s);
QualifiedName split_name(const std::string &text);
const Vexil_Intrin_Fun_Type *find_intrinsic(const QualifiedName &q);
bool find_iconstant(const QualifiedName &q, int *value);
bool has_feature(const std::string &feature);
Vexil_NameSpace_Type *create_namespace(const char *name);
int add_iconstants(Vexil_NameSpace_Type *ns, const Vexil_IConstant_Type *table,
    const char *feature);
void add_module_path(const char *list);
int load_module(const char *name, const char *ns_name);
int deinit_module(const std::string &name);
void check_memory(void);
void unload_all(void);

/* builtin.cpp: the host's own functions and constants */

struct Builtin {
	const char *name;
	size_t min_args, max_args;
	Value (*fn)(std::vector<Value> &args, Pos at);
};

const Builtin *find_builtin(const std::string &name);
Value call_builtin(const Builtin *b, std::vector<Value> &args, Pos at);
int define_globals(void);

/* main.cpp: reporting and ending the run */

void fail(Pos at, const char *fmt, ...) __attribute__((format(printf, 2, 3), noreturn));
void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void finish(int status) __attribute__((noreturn));

#endif /* HOST_H */
