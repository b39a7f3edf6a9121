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

/* value.cpp: values and descriptor objects */

/* A descriptor object owns its descriptor: the last reference closes it. */
struct _VXFile_FD_Type {
	int fd;
	unsigned refs;
};

/*
 * A value the script handles.  A descriptor value owns one reference to
 * its object, wherever the value is held (a variable, the argument stack,
 * a call's arguments): a copy takes another, and destroying or overwriting
 * the value gives its reference back.  Moving a value hands the reference
 * on and leaves the integer 0 behind.
 */
class Value {
public:
	Value() noexcept : type_(VX_INT_TYPE), i_(0), f_(nullptr) {}
	static Value integer(int i);
	static Value string(std::string s);
	static Value descriptor(int fd); /* a new object, taking over fd */

	Value(const Value &v);
	Value(Value &&v) noexcept;
	Value &operator=(Value v) noexcept;
	~Value();

	VXtype type() const { return type_; }
	int i() const { return i_; }
	const std::string &s() const { return s_; }
	VXFile_FD_Type *f() const { return f_; }
	/* The object, whose reference the caller now holds; the value is left 0. */
	VXFile_FD_Type *hand_over();

private:
	void swap(Value &v) noexcept;

	VXtype type_;
	int i_;
	std::string s_;
	VXFile_FD_Type *f_;
};

extern int vexil_errno;

/* call.cpp: the argument stack and calls of a module's intrinsics */

Value call_intrinsic(const Vexil_Intrin_Fun_Type *fun, std::vector<Value> &&args, Pos at);
void release_stack(void);

/* namespace.cpp: names and the namespaces that hold them */

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
void check_memory(void);
void drop_namespaces(void);

/* module.cpp: loading modules, their inits and deinits */

void add_module_path(const char *list);
int load_module(const char *name, const char *ns_name);
int deinit_module(const std::string &name);
void unload_all(void);

/* builtin.cpp: the host's own functions and constants */

struct Builtin {
	const char *name;
	size_t min_args, max_args;
	Value (*fn)(const std::vector<Value> &args, Pos at);
};

const Builtin *find_builtin(const std::string &name);
Value call_builtin(const Builtin *b, std::vector<Value> args, Pos at);
int define_globals(void);

/* main.cpp: reporting and ending the run */

void fail(Pos at, const char *fmt, ...) __attribute__((format(printf, 2, 3), noreturn));
void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void finish(int status) __attribute__((noreturn));

#endif /* HOST_H */
