/*
 * vexil: a minimal Vexil interpreter host.
 *
 * It loads modules built against vexil.h, keeps namespaces of intrinsic
 * functions and integer constants, an argument stack, reference-counted
 * file-descriptor objects and the script's errno, and runs tiny scripts:
 * literals, variables, calls, a few integer operators.  The operations a
 * module calls are exported from this executable (it is linked with
 * --export-dynamic), so a module needs no interpreter library.
 *
 * Test hooks, read from the environment, make a failure happen on demand:
 *   VEXIL_TEST_FAIL_NAMESPACE=NS   VXns_create_namespace fails for NS
 *   VEXIL_TEST_FAIL_INTRINSICS=NS  VXns_add_intrin_fun_table fails for NS
 *   VEXIL_TEST_FAIL_ICONSTANTS=NS  VXns_add_iconstant_table fails for NS
 *   VEXIL_TEST_UNREADABLE_FD=1     VXfile_get_fd fails
 */
#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <sys/stat.h>

#include <map>
#include <new>
#include <string>
#include <vector>

#include "vexil.h"

#ifndef VEXIL_VERSION
#define VEXIL_VERSION "unknown"
#endif
#ifndef VEXIL_MODULE_DIR
#define VEXIL_MODULE_DIR "/usr/local/lib/vexil/modules"
#endif

/* Type codes of the values a script handles besides integers. */
#define VX_STRING_TYPE 6
#define VX_FILE_FD_TYPE 8

static_assert(sizeof(VXtype) == 4, "VXtype is 32 bits");
static_assert(sizeof(int) == 4, "int is 32 bits");

struct _VXFile_FD_Type {
	int fd;
	unsigned refs;
};

struct _Vexil_NameSpace_Type {
	std::string name;
	std::map<std::string, const Vexil_Intrin_Fun_Type *> funs;
	std::map<std::string, int> consts;
};

struct Value {
	VXtype type;
	int i;
	std::string s;
	VXFile_FD_Type *f;
};

struct Module {
	std::string name;
	void *handle;
	int (*init)(char *);
	void (*deinit)(void);
	bool live; /* initialised since its last deinit: one deinit is due */
};

struct Token {
	enum { END, NEWLINE, INT, STRING, NAME, OP } kind;
	std::string text;
	int num;
	int line, col;
};

struct Builtin {
	const char *name;
	size_t min_args, max_args;
	Value (*fn)(std::vector<Value> &args, const Token &at);
};

static std::map<std::string, Vexil_NameSpace_Type *> namespaces;
static std::vector<std::string> features;
static std::vector<Module> modules;
static std::vector<std::string> module_path;

static std::vector<Value> stack;
static size_t stack_floor; /* values below belong to an outer call */
static int stack_overrun;  /* the running handler popped past its arguments */
static int vexil_errno;
static bool memory_exhausted; /* an operation a module called ran out */

static std::map<std::string, Value> variables;
static const char *script_name;
static std::vector<Token> toks;
static size_t tp;
static bool executing; /* false while checking the syntax only */
static int nesting;    /* parentheses and unary operators open around the parser */

static const Vexil_IConstant_Type host_consts[] = {
	{"O_RDONLY", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_RDONLY},
	{"O_WRONLY", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_WRONLY},
	{"O_RDWR", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_RDWR},
	{"O_CREAT", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_CREAT},
	{"O_TRUNC", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_TRUNC},
	{"O_APPEND", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_APPEND},
	{"O_NONBLOCK", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_NONBLOCK},
	{"O_CLOEXEC", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, O_CLOEXEC},
	{"EBADF", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, EBADF},
	{"EINTR", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, EINTR},
	{"EINVAL", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, EINVAL},
	{"ENOENT", nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, ENOENT},
	{nullptr, nullptr, VX_ICONSTANT_CLASS, VX_INT_TYPE, 0},
};

static void finish(int status) __attribute__((noreturn));

/* ---- values and descriptor objects ---- */

static Value
int_value(int i)
{
	return Value{VX_INT_TYPE, i, std::string(), nullptr};
}

static Value
string_value(const std::string &s)
{
	return Value{VX_STRING_TYPE, 0, s, nullptr};
}

static Value
fd_value(int fd)
{
	return Value{VX_FILE_FD_TYPE, 0, std::string(), new VXFile_FD_Type{fd, 1}};
}

/* A descriptor object owns its descriptor: the last release closes it. */
static void
fd_release(VXFile_FD_Type *f)
{
	if (--f->refs > 0)
		return;
	if (f->fd >= 0)
		(void)close(f->fd);
	delete f;
}

/* Every Value held in a variable, on the stack or in hand owns one reference. */
static Value
copy_value(const Value &v)
{
	if (v.type == VX_FILE_FD_TYPE)
		v.f->refs++;
	return v;
}

static void
release_value(Value &v)
{
	if (v.type == VX_FILE_FD_TYPE && v.f != nullptr)
		fd_release(v.f);
	v.f = nullptr;
}

static void
release_values(std::vector<Value> &vs)
{
	for (auto &v : vs)
		release_value(v);
	vs.clear();
}

/* ---- namespaces, exported to modules ---- */

static int
test_hook(const char *var, const char *ns)
{
	const char *v = getenv(var);

	return v != nullptr && ns != nullptr && strcmp(v, ns) == 0;
}

static Vexil_NameSpace_Type *
find_namespace(const std::string &name)
{
	auto it = namespaces.find(name);

	return it == namespaces.end() ? nullptr : it->second;
}

static void
record_feature(const char *feature)
{
	if (feature == nullptr)
		return;
	for (auto &f : features)
		if (f == feature)
			return;
	features.push_back(feature);
}

static int
valid_name(const char *s)
{
	if (*s == '\0' || !(isalpha((unsigned char)*s) || *s == '_'))
		return 0;
	for (; *s != '\0'; s++)
		if (!(isalnum((unsigned char)*s) || *s == '_'))
			return 0;
	return 1;
}

/*
 * No exception may unwind through a module's frames: an operation that runs
 * out of memory fails to the module and leaves the report to the host.
 */
static void
check_memory(void)
{
	if (memory_exhausted)
		throw std::bad_alloc();
}

static Vexil_NameSpace_Type *
create_namespace(const char *name)
{
	Vexil_NameSpace_Type *ns;

	if ((ns = find_namespace(name)) == nullptr) {
		ns = new Vexil_NameSpace_Type{name, {}, {}};
		namespaces[name] = ns;
	}
	return ns;
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

static int
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

/* ---- the argument stack, exported to modules ---- */

extern "C" int
Vexil_peek_at_stack(void)
{
	if (stack.size() <= stack_floor) {
		stack_overrun = 1;
		return -1;
	}
	return (int)stack.back().type;
}

/* A value of the wrong type is consumed all the same: the call used it. */
static int
pop_typed(VXtype type, Value *out)
{
	Value v;

	if (stack.size() <= stack_floor) {
		stack_overrun = 1;
		return -1;
	}
	v = std::move(stack.back());
	stack.pop_back();
	if (v.type != type) {
		release_value(v);
		return -1;
	}
	*out = v;
	return 0;
}

extern "C" int
Vexil_pop_int(int *ip)
{
	Value v;

	if (ip == nullptr || pop_typed(VX_INT_TYPE, &v) == -1)
		return -1;
	*ip = v.i;
	return 0;
}

extern "C" int
VXfile_pop_fd(VXFile_FD_Type **fp)
{
	Value v;

	if (fp == nullptr || pop_typed(VX_FILE_FD_TYPE, &v) == -1)
		return -1;
	*fp = v.f; /* the stack's reference passes to the caller */
	return 0;
}

extern "C" int
VXfile_get_fd(VXFile_FD_Type *f, int *fdp)
{
	if (f == nullptr || fdp == nullptr || f->fd < 0 ||
	    getenv("VEXIL_TEST_UNREADABLE_FD") != nullptr)
		return -1;
	*fdp = f->fd;
	return 0;
}

extern "C" void
VXfile_free_fd(VXFile_FD_Type *f)
{
	if (f != nullptr)
		fd_release(f);
}

extern "C" void
VXerrno_set_errno(int e)
{
	vexil_errno = e;
}

/* ---- errors ---- */

static void __attribute__((format(printf, 2, 3), noreturn))
fail(const Token &at, const char *fmt, ...)
{
	va_list ap;

	(void)fflush(stdout);
	fprintf(stderr, "vexil: %s:%d:%d: ", script_name, at.line, at.col);
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	fputc('\n', stderr);
	finish(1);
}

static void __attribute__((format(printf, 1, 2)))
warn(const char *fmt, ...)
{
	va_list ap;

	(void)fflush(stdout);
	fputs("vexil: ", stderr);
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	fputc('\n', stderr);
}

/* ---- modules ---- */

static Module *
find_module(const std::string &name)
{
	for (auto &m : modules)
		if (m.name == name)
			return &m;
	return nullptr;
}

static void *
module_symbol(void *handle, const char *fmt, const char *name)
{
	char sym[256];

	(void)snprintf(sym, sizeof sym, fmt, name);
	return dlsym(handle, sym);
}

/*
 * Whether a module candidate is worth handing to dlopen: 1 yes, 0 there is
 * none, -1 it is unusable and WHY says so.  A directory, an empty file or a
 * FIFO would only fail, or block, in dlopen and hide a good module further
 * along the path.
 */
static int
usable_candidate(const std::string &path, std::string &why)
{
	struct stat st;
	int fd;

	if (stat(path.c_str(), &st) == -1) {
		if (errno == ENOENT || errno == ENOTDIR)
			return 0;
		why = strerror(errno);
		return -1;
	}
	if (!S_ISREG(st.st_mode)) {
		why = "not a regular file";
		return -1;
	}
	if (st.st_size == 0) {
		why = "empty";
		return -1;
	}
	/* Non-blocking, in case it became a FIFO since the stat. */
	if ((fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) == -1) {
		why = strerror(errno);
		return -1;
	}
	(void)close(fd);
	return 1;
}

/* The first usable NAME-module.so on the path; what was skipped is told only if none is. */
static std::string
find_candidate(const char *name)
{
	std::vector<std::string> skipped;
	std::string path, why;

	for (auto &dir : module_path) {
		path = dir + "/" + name + "-module.so";
		switch (usable_candidate(path, why)) {
		case 1:
			return path;
		case -1:
			skipped.push_back(path + ": skipped, " + why);
			break;
		}
	}
	for (auto &s : skipped)
		warn("%s: %s", name, s.c_str());
	warn("%s: %s-module.so not found on the module path", name, name);
	return std::string();
}

/* Load NAME-module.so once, bind its entry points and check its version. */
static Module *
open_module(const char *name)
{
	Module *m;
	std::string path;
	void *handle = nullptr;
	int *version;
	int (*init)(char *);
	void (*deinit)(void);

	if ((m = find_module(name)) != nullptr)
		return m;
	/* The name becomes a file name and symbol names: no slashes, no dots. */
	if (!valid_name(name) || strlen(name) > 64) {
		warn("%s: not a module name", name);
		return nullptr;
	}
	if ((path = find_candidate(name)).empty())
		return nullptr;
	if ((handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) == nullptr) {
		warn("%s: %s", name, dlerror());
		return nullptr;
	}
	version = (int *)module_symbol(handle, "VXmodule_%s_api_version", name);
	init = (int (*)(char *))module_symbol(handle, "init_%s_module_ns", name);
	deinit = (void (*)(void))module_symbol(handle, "deinit_%s_module", name);
	if (version == nullptr || init == nullptr || deinit == nullptr) {
		warn("%s: %s does not export the module entry points", name, path.c_str());
		(void)dlclose(handle);
		return nullptr;
	}
	if (*version != VEXIL_API_VERSION) {
		warn("%s: module API version %d, this host supports %d", name, *version,
		    VEXIL_API_VERSION);
		(void)dlclose(handle);
		return nullptr;
	}
	modules.push_back(Module{name, handle, init, deinit, false});
	return &modules.back();
}

static int
load_module(const char *name, const char *ns_name)
{
	std::string ns(ns_name);
	Module *m;

	if ((m = open_module(name)) == nullptr)
		return -1;
	int r = m->init(&ns[0]);
	m->live = true; /* even a failed init may have taken something */
	check_memory();
	if (r == -1) {
		warn("%s: initialisation in namespace %s failed", name, ns_name);
		return -1;
	}
	return 0;
}

static void
finish(int status)
{
	for (auto &kv : variables)
		release_value(kv.second);
	variables.clear();
	release_values(stack);
	for (auto &m : modules)
		if (m.live)
			m.deinit();
	for (auto &kv : namespaces)
		delete kv.second;
	namespaces.clear();
	(void)fflush(stdout);
	exit(status);
}

/* ---- calls ---- */

typedef int (*handler0)(void);
typedef int (*handler1)(int *);
typedef int (*handler2)(int *, int *);
typedef int (*handler3)(int *, int *, int *);
typedef int (*handler4)(int *, int *, int *, int *);
typedef int (*handler5)(int *, int *, int *, int *, int *);
typedef int (*handler6)(int *, int *, int *, int *, int *, int *);
typedef int (*handler7)(int *, int *, int *, int *, int *, int *, int *);

template <typename F>
static F
handler(FVOID_STAR fun)
{
	return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(fun));
}

static int
invoke(const Vexil_Intrin_Fun_Type *fun, int *a)
{
	switch (fun->num_args) {
	case 0:
		return handler<handler0>(fun->i_fun)();
	case 1:
		return handler<handler1>(fun->i_fun)(a);
	case 2:
		return handler<handler2>(fun->i_fun)(a, a + 1);
	case 3:
		return handler<handler3>(fun->i_fun)(a, a + 1, a + 2);
	case 4:
		return handler<handler4>(fun->i_fun)(a, a + 1, a + 2, a + 3);
	case 5:
		return handler<handler5>(fun->i_fun)(a, a + 1, a + 2, a + 3, a + 4);
	case 6:
		return handler<handler6>(fun->i_fun)(a, a + 1, a + 2, a + 3, a + 4, a + 5);
	default:
		return handler<handler7>(fun->i_fun)(a, a + 1, a + 2, a + 3, a + 4, a + 5, a + 6);
	}
}

/*
 * The script's arguments go on the stack; the declared ones (the last
 * num_args) are popped and passed by pointer, the rest are the handler's
 * to pop.  Whatever it leaves, or takes beyond its own, is an error.
 */
static Value
call_intrinsic(const Vexil_Intrin_Fun_Type *fun, std::vector<Value> &args, const Token &at)
{
	int slots[VX_MAX_INTRIN_ARGS];
	size_t base, saved_floor;
	int ret, overrun;

	if (args.size() < fun->num_args)
		fail(at, "%s: expects at least %u argument(s), %zu given", fun->name,
		    fun->num_args, args.size());
	base = stack.size();
	for (auto &v : args)
		stack.push_back(v);
	args.clear(); /* the references now live on the stack */
	for (size_t k = fun->num_args; k-- > 0;) {
		size_t position = stack.size() - base;
		Value v = stack.back();
		stack.pop_back();
		if (v.type != VX_INT_TYPE)
			fail(at, "%s: argument %zu must be an integer", fun->name, position);
		slots[k] = v.i;
	}

	saved_floor = stack_floor;
	stack_floor = base;
	stack_overrun = 0;
	ret = invoke(fun, slots);
	check_memory();
	overrun = stack_overrun;
	stack_floor = saved_floor;
	stack_overrun = 0;

	if (overrun)
		fail(at, "%s: wanted more arguments than it was given", fun->name);
	if (stack.size() > base) {
		size_t left = stack.size() - base;
		fail(at, "%s: left %zu argument(s) unconsumed", fun->name, left);
	}
	return int_value(ret);
}

static void
need(std::vector<Value> &args, size_t k, VXtype type, const char *fname, const Token &at)
{
	static const char *what[] = {"an integer", "a string", "a descriptor object"};
	int w = type == VX_INT_TYPE ? 0 : type == VX_STRING_TYPE ? 1 : 2;

	if (args[k].type != type)
		fail(at, "%s: argument %zu must be %s", fname, k + 1, what[w]);
}

static void
print_value(const Value &v)
{
	if (v.type == VX_INT_TYPE)
		printf("%d", v.i);
	else if (v.type == VX_STRING_TYPE)
		fputs(v.s.c_str(), stdout);
	else
		printf("<descriptor %d>", v.f->fd);
}

static Value
b_print(std::vector<Value> &args, const Token &)
{
	for (size_t k = 0; k < args.size(); k++) {
		if (k > 0)
			putchar(' ');
		print_value(args[k]);
	}
	putchar('\n');
	return int_value(0);
}

/* open(path, flags [, mode]): a descriptor object, or -1 and errno. */
static Value
b_open(std::vector<Value> &args, const Token &at)
{
	int fd, mode = 0666;

	need(args, 0, VX_STRING_TYPE, "open", at);
	need(args, 1, VX_INT_TYPE, "open", at);
	if (args.size() > 2) {
		need(args, 2, VX_INT_TYPE, "open", at);
		mode = args[2].i;
	}
	if ((fd = open(args[0].s.c_str(), args[1].i, (mode_t)mode)) == -1) {
		vexil_errno = errno;
		return int_value(-1);
	}
	return fd_value(fd);
}

static Value
b_fileno(std::vector<Value> &args, const Token &at)
{
	need(args, 0, VX_FILE_FD_TYPE, "fileno", at);
	return int_value(args[0].f->fd);
}

/* References to a descriptor object besides the argument itself. */
static Value
b_refcount(std::vector<Value> &args, const Token &at)
{
	need(args, 0, VX_FILE_FD_TYPE, "refcount", at);
	return int_value((int)args[0].f->refs - 1);
}

static Value
b_errno_string(std::vector<Value> &args, const Token &at)
{
	int e = vexil_errno;

	if (!args.empty()) {
		need(args, 0, VX_INT_TYPE, "errno_string", at);
		e = args[0].i;
	}
	return string_value(strerror(e));
}

static Value
b_has_feature(std::vector<Value> &args, const Token &at)
{
	need(args, 0, VX_STRING_TYPE, "has_feature", at);
	for (auto &f : features)
		if (f == args[0].s)
			return int_value(1);
	return int_value(0);
}

static const Builtin *find_builtin(const std::string &name);

/* is_defined("[ns.]name"): 1 intrinsic, 2 integer constant, 3 host function, 0 none. */
static Value
b_is_defined(std::vector<Value> &args, const Token &at)
{
	std::string name, ns = "Global";
	Vexil_NameSpace_Type *n;
	size_t dot;

	need(args, 0, VX_STRING_TYPE, "is_defined", at);
	name = args[0].s;
	if ((dot = name.find('.')) != std::string::npos) {
		ns = name.substr(0, dot);
		name = name.substr(dot + 1);
	}
	if ((n = find_namespace(ns)) != nullptr) {
		if (n->funs.count(name))
			return int_value(1);
		if (n->consts.count(name))
			return int_value(2);
	}
	if (dot == std::string::npos && find_builtin(name) != nullptr)
		return int_value(3);
	return int_value(0);
}

static Value
b_import(std::vector<Value> &args, const Token &at)
{
	need(args, 0, VX_STRING_TYPE, "import", at);
	if (args.size() > 1)
		need(args, 1, VX_STRING_TYPE, "import", at);
	return int_value(load_module(args[0].s.c_str(),
	    args.size() > 1 ? args[1].s.c_str() : "Global"));
}

static Value
b_deinit(std::vector<Value> &args, const Token &at)
{
	Module *m;

	need(args, 0, VX_STRING_TYPE, "deinit", at);
	if ((m = find_module(args[0].s)) == nullptr || !m->live)
		return int_value(-1);
	m->live = false;
	m->deinit();
	check_memory();
	return int_value(0);
}

static const Builtin builtins[] = {
	{"print", 0, 32, b_print},
	{"open", 2, 3, b_open},
	{"fileno", 1, 1, b_fileno},
	{"refcount", 1, 1, b_refcount},
	{"errno_string", 0, 1, b_errno_string},
	{"has_feature", 1, 1, b_has_feature},
	{"is_defined", 1, 1, b_is_defined},
	{"import", 1, 2, b_import},
	{"deinit", 1, 1, b_deinit},
};

static const Builtin *
find_builtin(const std::string &name)
{
	for (auto &b : builtins)
		if (name == b.name)
			return &b;
	return nullptr;
}

/* ---- lexer ---- */

static void
lex(const std::string &src)
{
	size_t i = 0;
	int line = 1, col = 1, depth = 0;

	auto add = [&](decltype(Token::END) kind, const std::string &text, int num, int l, int c) {
		toks.push_back(Token{kind, text, num, l, c});
	};
	while (i < src.size()) {
		char c = src[i];
		int l = line, cl = col;
		size_t start = i;

		if (c == '\n') {
			if (depth == 0)
				add(Token::NEWLINE, "newline", 0, l, cl);
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
			int base = 10;
			unsigned long long n = 0;

			if (c == '0' && i + 1 < src.size() && (src[i + 1] == 'x' || src[i + 1] == 'X')) {
				base = 16;
				i += 2;
			}
			size_t digits = i;
			while (i < src.size() && isxdigit((unsigned char)src[i])) {
				int d = isdigit((unsigned char)src[i]) ? src[i] - '0'
				    : (tolower((unsigned char)src[i]) - 'a' + 10);
				if (d >= base)
					break;
				n = n * base + d;
				if (n > UINT32_MAX) {
					toks.push_back(Token{Token::INT, "", 0, l, cl});
					fail(toks.back(), "integer literal out of range");
				}
				i++;
			}
			if (i == digits || (i < src.size() && (isalnum((unsigned char)src[i]) ||
			    src[i] == '_'))) {
				toks.push_back(Token{Token::INT, "", 0, l, cl});
				fail(toks.back(), "malformed integer literal");
			}
			col += (int)(i - start);
			add(Token::INT, src.substr(start, i - start), (int)(uint32_t)n, l, cl);
			continue;
		}
		if (isalpha((unsigned char)c) || c == '_') {
			while (i < src.size() && (isalnum((unsigned char)src[i]) || src[i] == '_' ||
			    (src[i] == '.' && i + 1 < src.size() &&
			     (isalpha((unsigned char)src[i + 1]) || src[i + 1] == '_'))))
				i++;
			col += (int)(i - start);
			add(Token::NAME, src.substr(start, i - start), 0, l, cl);
			continue;
		}
		if (c == '"') {
			std::string s;

			i++;
			while (i < src.size() && src[i] != '"' && src[i] != '\n') {
				/* A C string would end at the NUL: refuse what the callee cannot see. */
				if (src[i] == '\0' || (src[i] == '\\' && i + 1 < src.size() &&
				    src[i + 1] == '\0')) {
					toks.push_back(Token{Token::STRING, "", 0, l, cl});
					fail(toks.back(), "NUL byte in string");
				}
				if (src[i] == '\\' && i + 1 < src.size()) {
					char e = src[++i];
					s += e == 'n' ? '\n' : e == 't' ? '\t' : e;
					if (e != 'n' && e != 't' && e != '\\' && e != '"') {
						toks.push_back(Token{Token::STRING, "", 0, l, cl});
						fail(toks.back(), "unknown escape \\%c", e);
					}
				} else {
					s += src[i];
				}
				i++;
			}
			if (i >= src.size() || src[i] != '"') {
				toks.push_back(Token{Token::STRING, "", 0, l, cl});
				fail(toks.back(), "unterminated string");
			}
			i++;
			col += (int)(i - start);
			add(Token::STRING, s, 0, l, cl);
			continue;
		}
		if ((c == '=' || c == '!') && i + 1 < src.size() && src[i + 1] == '=') {
			add(Token::OP, src.substr(i, 2), 0, l, cl);
			i += 2, col += 2;
			continue;
		}
		if (strchr("&|~+-=(),;", c) != nullptr) {
			depth += c == '(' ? 1 : c == ')' && depth > 0 ? -1 : 0;
			add(Token::OP, std::string(1, c), 0, l, cl);
			i++, col++;
			continue;
		}
		toks.push_back(Token{Token::OP, "", 0, l, cl});
		if (isprint((unsigned char)c))
			fail(toks.back(), "unexpected character '%c'", c);
		fail(toks.back(), "unexpected byte 0x%02x", (unsigned char)c);
	}
	add(Token::END, "end of script", 0, line, col);
}

/* ---- parser and evaluator: one pass to check, one to run ---- */

static const Token &
peek(void)
{
	return toks[tp];
}

static bool
is_op(const char *op)
{
	return peek().kind == Token::OP && peek().text == op;
}

/*
 * The parser recurses once per parenthesis or unary operator: a bound on
 * their nesting keeps a hostile script from exhausting the C stack.
 */
#define MAX_NESTING 200

static void
nest(const Token &at)
{
	if (++nesting > MAX_NESTING)
		fail(at, "nesting deeper than %d levels", MAX_NESTING);
}

static const Token &
expect(const char *op)
{
	if (!is_op(op))
		fail(peek(), "expected '%s', found '%s'", op, peek().text.c_str());
	return toks[tp++];
}

static Value expression(void);

static Value
call(const Token &name)
{
	std::vector<Value> args;
	const Builtin *b = nullptr;
	const Vexil_Intrin_Fun_Type *fun = nullptr;
	std::string ns = "Global", fname = name.text;
	size_t dot;
	Value v;

	nest(expect("("));
	if (!is_op(")")) {
		args.push_back(expression());
		while (is_op(",")) {
			tp++;
			args.push_back(expression());
		}
	}
	expect(")");
	nesting--;
	if (!executing)
		return int_value(0);

	if ((dot = fname.find('.')) != std::string::npos) {
		ns = fname.substr(0, dot);
		fname = fname.substr(dot + 1);
	}
	Vexil_NameSpace_Type *n = find_namespace(ns);
	if (n != nullptr && n->funs.count(fname))
		fun = n->funs[fname];
	else if (dot == std::string::npos)
		b = find_builtin(fname);
	if (fun != nullptr)
		return call_intrinsic(fun, args, name);
	if (b == nullptr)
		fail(name, "undefined function %s", name.text.c_str());
	if (args.size() < b->min_args || args.size() > b->max_args)
		fail(name, "%s: wrong number of arguments (%zu)", b->name, args.size());
	v = b->fn(args, name);
	release_values(args);
	return v;
}

static Value
name_value(const Token &name)
{
	std::string ns = "Global", cname = name.text;
	Vexil_NameSpace_Type *n;
	size_t dot;

	auto var = variables.find(name.text);
	if (var != variables.end())
		return copy_value(var->second);
	if (name.text == "errno")
		return int_value(vexil_errno);
	if ((dot = cname.find('.')) != std::string::npos) {
		ns = cname.substr(0, dot);
		cname = cname.substr(dot + 1);
	}
	if ((n = find_namespace(ns)) != nullptr && n->consts.count(cname))
		return int_value(n->consts[cname]);
	fail(name, "undefined name %s", name.text.c_str());
}

static Value
primary(void)
{
	const Token &t = toks[tp];

	switch (t.kind) {
	case Token::INT:
		tp++;
		return int_value(t.num);
	case Token::STRING:
		tp++;
		return string_value(t.text);
	case Token::NAME:
		tp++;
		if (is_op("("))
			return call(t);
		return executing ? name_value(t) : int_value(0);
	default:
		break;
	}
	if (is_op("(")) {
		nest(toks[tp++]);
		Value v = expression();
		expect(")");
		nesting--;
		return v;
	}
	fail(t, "expected an expression, found '%s'", t.text.c_str());
}

static int
int_operand(Value &v, const Token &op)
{
	if (!executing)
		return 0;
	if (v.type != VX_INT_TYPE) {
		release_value(v);
		fail(op, "operator %s needs integers", op.text.c_str());
	}
	return v.i;
}

static Value
unary(void)
{
	if (is_op("~") || is_op("-")) {
		const Token &op = toks[tp++];
		nest(op);
		Value v = unary();
		nesting--;
		uint32_t x = (uint32_t)int_operand(v, op);
		return int_value((int)(op.text == "~" ? ~x : 0u - x));
	}
	return primary();
}

/* Integer arithmetic wraps at 32 bits, as the targets' int does. */
static Value
additive(void)
{
	Value v = unary();

	while (is_op("+") || is_op("-")) {
		const Token &op = toks[tp++];
		Value r = unary();
		uint32_t a = (uint32_t)int_operand(v, op), b = (uint32_t)int_operand(r, op);
		v = int_value((int)(op.text == "+" ? a + b : a - b));
	}
	return v;
}

static Value
bit_and(void)
{
	Value v = additive();

	while (is_op("&")) {
		const Token &op = toks[tp++];
		Value r = additive();
		v = int_value(int_operand(v, op) & int_operand(r, op));
	}
	return v;
}

static Value
bit_or(void)
{
	Value v = bit_and();

	while (is_op("|")) {
		const Token &op = toks[tp++];
		Value r = bit_and();
		v = int_value(int_operand(v, op) | int_operand(r, op));
	}
	return v;
}

static bool
same_value(const Value &a, const Value &b)
{
	if (a.type != b.type)
		return false;
	if (a.type == VX_INT_TYPE)
		return a.i == b.i;
	if (a.type == VX_STRING_TYPE)
		return a.s == b.s;
	return a.f == b.f;
}

/* Comparisons bind loosest, so that "x & MASK == 0" reads as it looks. */
static Value
expression(void)
{
	Value v = bit_or();

	while (is_op("==") || is_op("!=")) {
		bool eq = toks[tp++].text == "==";
		Value r = bit_or();
		bool same = same_value(v, r);
		release_value(v);
		release_value(r);
		v = int_value(same == eq);
	}
	return v;
}

static void
statement(void)
{
	if (peek().kind == Token::NAME && toks[tp + 1].kind == Token::OP &&
	    toks[tp + 1].text == "=") {
		const Token &name = toks[tp];
		tp += 2;
		if (name.text == "errno" || name.text.find('.') != std::string::npos)
			fail(name, "cannot assign to %s", name.text.c_str());
		Value v = expression();
		if (!executing)
			return;
		auto old = variables.find(name.text);
		if (old != variables.end())
			release_value(old->second);
		variables[name.text] = v;
		return;
	}
	Value v = expression();
	release_value(v);
}

static void
program(void)
{
	tp = 0;
	for (;;) {
		while (peek().kind == Token::NEWLINE || is_op(";"))
			tp++;
		if (peek().kind == Token::END)
			return;
		statement();
		if (peek().kind != Token::NEWLINE && peek().kind != Token::END && !is_op(";"))
			fail(peek(), "expected end of statement, found '%s'", peek().text.c_str());
	}
}

/* ---- main ---- */

/* Asked for, the usage goes to standard output and is no error. */
static void __attribute__((noreturn))
usage(FILE *to, int status)
{
	fprintf(to, "usage: vexil [-P path] [-m module[:namespace]]... [-e statements | file]\n");
	exit(fflush(to) == EOF ? 1 : status);
}

static void
add_path(const char *list)
{
	std::string s(list);
	size_t start = 0, colon;

	do {
		colon = s.find(':', start);
		std::string dir = s.substr(start, colon - start);
		if (!dir.empty())
			module_path.push_back(dir);
		start = colon + 1;
	} while (colon != std::string::npos);
}

static int
read_source(const char *path, std::string &src)
{
	char buf[8192];
	size_t n;
	FILE *fp;

	if (strcmp(path, "-") == 0)
		fp = stdin;
	else if ((fp = fopen(path, "r")) == nullptr)
		return -1;
	while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
		src.append(buf, n);
	if (ferror(fp)) {
		if (fp != stdin)
			(void)fclose(fp);
		return -1;
	}
	if (fp != stdin)
		(void)fclose(fp);
	return 0;
}

static int
run(int argc, char *argv[])
{
	std::vector<std::string> loads;
	std::vector<std::string> paths;
	const char *statements = nullptr, *env;
	std::string src;
	int ch;
	static const struct option long_options[] = {
		{"help", no_argument, nullptr, 'h'},
		{"version", no_argument, nullptr, 'V'},
		{nullptr, 0, nullptr, 0},
	};

	while ((ch = getopt_long(argc, argv, "P:m:e:", long_options, nullptr)) != -1) {
		switch (ch) {
		case 'P':
			paths.push_back(optarg);
			break;
		case 'm':
			loads.push_back(optarg);
			break;
		case 'e':
			statements = optarg;
			break;
		case 'h':
			usage(stdout, 0);
		case 'V':
			printf("vexil %s, module API %d\n", VEXIL_VERSION, VEXIL_API_VERSION);
			return fflush(stdout) == EOF ? 1 : 0;
		default:
			usage(stderr, 2);
		}
	}
	argc -= optind;
	argv += optind;
	if (argc > 1 || (statements != nullptr && argc > 0))
		usage(stderr, 2);

	for (auto &p : paths)
		add_path(p.c_str());
	if ((env = getenv("VEXIL_MODULE_PATH")) != nullptr)
		add_path(env);
	add_path(VEXIL_MODULE_DIR);

	if (add_iconstants(VXns_create_namespace("Global"), host_consts, nullptr) == -1) {
		warn("cannot set up the Global namespace");
		return 1;
	}

	if (statements != nullptr) {
		script_name = "-e";
		src = statements;
	} else {
		script_name = argc > 0 ? argv[0] : "-";
		if (read_source(script_name, src) == -1) {
			warn("%s: %s", script_name, strerror(errno));
			return 1;
		}
	}
	lex(src);
	executing = false;
	program();

	for (auto &l : loads) {
		size_t colon = l.find(':');
		std::string name = l.substr(0, colon);
		std::string ns = colon == std::string::npos ? "Global" : l.substr(colon + 1);
		if (load_module(name.c_str(), ns.c_str()) == -1)
			finish(1);
	}
	executing = true;
	program();
	finish(0);
}

int
main(int argc, char *argv[])
{
	try {
		return run(argc, argv);
	} catch (const std::bad_alloc &) {
		warn("out of memory");
		finish(1);
	}
}
