/* SPDX-License-Identifier: ISC */
/*
 * fcntl-module against a test host: this executable supplies the
 * interpreter operations itself (exported, as a real host does) and keeps
 * what the module registers as a host does, by namespace and name, so
 * that the tests call the module's functions and read its constants the
 * way a script reaches them.  Descriptor objects hold real descriptors
 * and close them with their last reference.  fcntl is interposed: it
 * counts the module's system calls and, on demand, interrupts or fails
 * them.
 */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vexil.h"

struct _VXFile_FD_Type {
	int fd;
	int refs;
	bool readable;
};

struct _Vexil_NameSpace_Type {
	std::map<std::string, const Vexil_Intrin_Fun_Type *> funs;
	std::map<std::string, int> consts;
};

struct Item {
	int type;
	int i;
	VXFile_FD_Type *f;
};

static std::map<std::string, _Vexil_NameSpace_Type> namespaces;
static std::set<std::string> features;
static std::vector<Item> stack;
static std::vector<int> errnos; /* values given to VXerrno_set_errno */
static bool fail_create, fail_funs, fail_consts;

/* The interposed fcntl: off, it passes calls on; on, it answers them. */
struct Syscall {
	int fd, cmd, arg;
	bool operator==(const Syscall &o) const { return fd == o.fd && cmd == o.cmd && arg == o.arg; }
};
static bool fake;
static int eintr_left; /* interrupts before the answer */
static int fake_result, fake_errno;
static std::vector<Syscall> syscalls;

extern "C" {

Vexil_NameSpace_Type *
VXns_create_namespace(const char *name)
{
	return fail_create ? nullptr : &namespaces[name];
}

int
VXns_add_intrin_fun_table(Vexil_NameSpace_Type *ns, const Vexil_Intrin_Fun_Type *t,
    const char *feature)
{
	if (fail_funs)
		return -1;
	for (; t->name != nullptr; t++)
		ns->funs[t->name] = t;
	if (feature != nullptr)
		features.insert(feature);
	return 0;
}

int
VXns_add_iconstant_table(Vexil_NameSpace_Type *ns, const Vexil_IConstant_Type *t,
    const char *feature)
{
	if (fail_consts)
		return -1;
	for (; t->name != nullptr; t++)
		ns->consts[t->name] = t->value;
	if (feature != nullptr)
		features.insert(feature);
	return 0;
}

int
Vexil_peek_at_stack(void)
{
	return stack.empty() ? -1 : stack.back().type;
}

/* A value of the wrong type is consumed all the same, as the host does. */
static bool
pop(int type, Item *it)
{
	if (stack.empty())
		return false;
	*it = stack.back();
	stack.pop_back();
	return it->type == type;
}

int
Vexil_pop_int(int *ip)
{
	Item it;

	if (!pop(VX_INT_TYPE, &it))
		return -1;
	*ip = it.i;
	return 0;
}

int
VXfile_pop_fd(VXFile_FD_Type **fp)
{
	Item it;

	if (!pop(VX_FILE_FD_TYPE, &it))
		return -1;
	*fp = it.f;
	return 0;
}

int
VXfile_get_fd(VXFile_FD_Type *f, int *fdp)
{
	if (!f->readable)
		return -1;
	*fdp = f->fd;
	return 0;
}

void
VXfile_free_fd(VXFile_FD_Type *f)
{
	if (--f->refs == 0)
		(void)close(f->fd);
	EXPECT_GE(f->refs, 0) << "a reference released twice";
}

void
VXerrno_set_errno(int e)
{
	errnos.push_back(e);
}

static int
interposed(const char *name, int fd, int cmd, va_list ap)
{
	int arg = cmd == F_SETFD || cmd == F_SETFL ? va_arg(ap, int) : 0;

	syscalls.push_back(Syscall{fd, cmd, arg});
	if (!fake) {
		auto real = reinterpret_cast<int (*)(int, int, ...)>(dlsym(RTLD_NEXT, name));
		return real(fd, cmd, arg);
	}
	if (eintr_left > 0) {
		eintr_left--;
		errno = EINTR;
		return -1;
	}
	if (fake_result == -1)
		errno = fake_errno;
	return fake_result;
}

/* <fcntl.h> gives this definition the symbol the module calls, fcntl64. */
int
fcntl(int fd, int cmd, ...)
{
	va_list ap;
	int r;

	va_start(ap, cmd);
	r = interposed("fcntl64", fd, cmd, ap);
	va_end(ap);
	return r;
}
}

static Item
integer(int i)
{
	return Item{VX_INT_TYPE, i, nullptr};
}

static Item
object(VXFile_FD_Type *f)
{
	return Item{VX_FILE_FD_TYPE, 0, f};
}

/* Whether fd is an open descriptor, asked past the interposer. */
static bool
is_open(int fd)
{
	auto real = reinterpret_cast<int (*)(int, int, ...)>(dlsym(RTLD_NEXT, "fcntl64"));
	return real(fd, F_GETFD) != -1;
}

class Module : public ::testing::Test {
protected:
	static void *handle;
	static int (*init)(char *);
	static void (*deinit)(void);

	static void
	SetUpTestSuite()
	{
		handle = dlopen(FCNTL_MODULE, RTLD_NOW | RTLD_LOCAL);
		ASSERT_NE(handle, nullptr) << dlerror();
		init = reinterpret_cast<int (*)(char *)>(dlsym(handle, "init_fcntl_module_ns"));
		deinit = reinterpret_cast<void (*)(void)>(dlsym(handle, "deinit_fcntl_module"));
		ASSERT_NE(init, nullptr);
		ASSERT_NE(deinit, nullptr);
	}

	void
	SetUp() override
	{
		namespaces.clear();
		features.clear();
		stack.clear();
		errnos.clear();
		syscalls.clear();
		fail_create = fail_funs = fail_consts = false;
		fake = false;
		eintr_left = fake_result = fake_errno = 0;
		ASSERT_EQ(load("Test"), 0);
	}

	static int
	load(std::string ns)
	{
		return init(&ns[0]);
	}

	static bool
	defined(const std::string &ns, const std::string &name)
	{
		auto it = namespaces.find(ns);

		return it != namespaces.end() &&
		    (it->second.funs.count(name) > 0 || it->second.consts.count(name) > 0);
	}

	static int
	constant(const char *name)
	{
		auto &consts = namespaces["Test"].consts;

		EXPECT_EQ(consts.count(name), 1u) << name;
		return consts[name];
	}

	/*
	 * NAME(ARGS...) as a script calls it in namespace NS: the arguments go
	 * on the stack, the host pops the declared ones (the last) and passes
	 * them by pointer, and the handler must take every other one itself.
	 */
	static int
	call(const char *name, const std::vector<Item> &args, const char *ns = "Test")
	{
		auto &funs = namespaces[ns].funs;
		int slots[VX_MAX_INTRIN_ARGS];
		int ret;

		const Vexil_Intrin_Fun_Type *fun = funs.count(name) > 0 ? funs[name] : nullptr;
		if (fun == nullptr || args.size() < fun->num_args || fun->num_args > 1) {
			ADD_FAILURE() << name << " in " << ns << " cannot take " << args.size() << " argument(s)";
			return -2;
		}
		stack = args;
		for (unsigned k = fun->num_args; k-- > 0; stack.pop_back())
			slots[k] = stack.back().i;
		auto f = reinterpret_cast<void (*)(void)>(fun->i_fun);
		if (fun->num_args == 0)
			ret = reinterpret_cast<int (*)(void)>(f)();
		else
			ret = reinterpret_cast<int (*)(int *)>(f)(slots);
		EXPECT_TRUE(stack.empty()) << name << " left arguments on the stack";
		return ret;
	}
};

void *Module::handle;
int (*Module::init)(char *);
void (*Module::deinit)(void);

/* What a script gets from -m fcntl: its flags, read and set on real descriptors. */
TEST_F(Module, ScriptSeesTheFunctionsAndConstants)
{
	int *version = static_cast<int *>(dlsym(handle, "VXmodule_fcntl_api_version"));
	int p[2];

	ASSERT_NE(version, nullptr);
	EXPECT_EQ(*version, VEXIL_API_VERSION); /* a host refuses any other */
	EXPECT_EQ(features, std::set<std::string>{"__FCNTL__"});
	ASSERT_EQ(pipe(p), 0);
	int cloexec = constant("FD_CLOEXEC"), accmode = constant("O_ACCMODE");

	EXPECT_EQ(call("fcntl_getfd", {integer(p[0])}) & cloexec, 0);
	EXPECT_EQ(call("fcntl_setfd", {integer(p[0]), integer(cloexec)}), 0);
	EXPECT_EQ(call("fcntl_getfd", {integer(p[0])}), cloexec);
	EXPECT_EQ(fcntl(p[0], F_GETFD), FD_CLOEXEC); /* the flag a script names is the system's */
	EXPECT_EQ(call("fcntl_getfl", {integer(p[1])}) & accmode, O_WRONLY);
	EXPECT_EQ(call("fcntl_getfl", {integer(p[0])}) & accmode, O_RDONLY);
	EXPECT_EQ(call("fcntl_setfl", {integer(p[1]), integer(O_NONBLOCK)}), 0);
	EXPECT_NE(fcntl(p[1], F_GETFL) & O_NONBLOCK, 0);

	/* Each namespace asked for gets the lot; the module keeps no state. */
	EXPECT_EQ(load("Other"), 0);
	deinit();
	EXPECT_EQ(call("fcntl_setfl", {integer(p[1]), integer(0)}, "Other"), 0);
	EXPECT_EQ(call("fcntl_getfl", {integer(p[1])}) & O_NONBLOCK, 0);
	deinit();
	EXPECT_TRUE(defined("Other", "FD_CLOEXEC"));
	EXPECT_FALSE(defined("Global", "fcntl_getfd"));
	EXPECT_TRUE(errnos.empty());

	/* A failed call answers -1 and hands the system's errno on, once. */
	(void)close(p[0]);
	EXPECT_EQ(call("fcntl_getfd", {integer(p[0])}), -1);
	EXPECT_EQ(call("fcntl_setfl", {integer(p[0]), integer(0)}), -1);
	EXPECT_EQ(errnos, (std::vector<int>{EBADF, EBADF}));
	(void)close(p[1]);
}

/* A host that refuses a step: init fails, and what came before it stays. */
TEST_F(Module, InitWhenTheHostRefuses)
{
	fail_create = true;
	EXPECT_EQ(load("A"), -1);
	EXPECT_EQ(namespaces.count("A"), 0u);

	fail_create = false;
	fail_funs = true;
	EXPECT_EQ(load("B"), -1);
	EXPECT_FALSE(defined("B", "fcntl_getfd"));
	EXPECT_FALSE(defined("B", "FD_CLOEXEC"));

	/* The functions stay registered, and work, if the constants fail. */
	fail_funs = false;
	fail_consts = true;
	EXPECT_EQ(load("C"), -1);
	EXPECT_FALSE(defined("C", "FD_CLOEXEC"));
	EXPECT_FALSE(defined("C", "O_ACCMODE"));
	EXPECT_EQ(call("fcntl_getfl", {integer(1)}, "C"), fcntl(1, F_GETFL));
	EXPECT_TRUE(errnos.empty());
}

/* The descriptor comes from an integer or an object; the flags reach the call unchanged. */
TEST_F(Module, CommandsAndFlagsReachTheCall)
{
	VXFile_FD_Type f = {42, 3, true};

	fake = true;
	fake_result = 0x55;
	EXPECT_EQ(call("fcntl_getfd", {integer(-7)}), 0x55);
	EXPECT_EQ(call("fcntl_setfd", {object(&f), integer(-1)}), 0x55);
	EXPECT_EQ(call("fcntl_getfl", {object(&f)}), 0x55);
	EXPECT_EQ(call("fcntl_setfl", {integer(9), integer(0x7ffff001)}), 0x55);
	EXPECT_EQ(syscalls, (std::vector<Syscall>{{-7, F_GETFD, 0}, {42, F_SETFD, -1},
	    {42, F_GETFL, 0}, {9, F_SETFL, 0x7ffff001}}));
	EXPECT_EQ(f.refs, 1); /* each call gave its reference back */
	EXPECT_TRUE(errnos.empty());
}

/*
 * An object popped with the descriptor may hold its last reference, as
 * open(...) written in the call does: the descriptor must stay open for
 * the call and be let go after it, once.
 */
TEST_F(Module, DescriptorObjects)
{
	int p[2];

	ASSERT_EQ(pipe(p), 0);
	ASSERT_EQ(fcntl(p[0], F_SETFD, FD_CLOEXEC), 0);
	VXFile_FD_Type last = {p[0], 1, true}, shared = {p[1], 2, true};

	EXPECT_EQ(call("fcntl_getfd", {object(&last)}), FD_CLOEXEC);
	EXPECT_EQ(last.refs, 0);
	EXPECT_FALSE(is_open(p[0]));
	EXPECT_EQ(call("fcntl_setfl", {object(&shared), integer(O_NONBLOCK)}), 0);
	EXPECT_EQ(shared.refs, 1);
	EXPECT_NE(fcntl(p[1], F_GETFL) & O_NONBLOCK, 0);
	(void)close(p[1]);
	EXPECT_TRUE(errnos.empty());

	/* No usable descriptor: -1, no system call, errno as it was, the argument consumed. */
	ASSERT_EQ(pipe(p), 0);
	(void)close(p[1]);
	VXFile_FD_Type unreadable = {p[0], 1, false};
	syscalls.clear();
	EXPECT_EQ(call("fcntl_setfl", {object(&unreadable), integer(1)}), -1);
	EXPECT_EQ(unreadable.refs, 0);
	EXPECT_FALSE(is_open(p[0]));
	EXPECT_EQ(call("fcntl_getfl", {Item{VX_STRING_TYPE, 0, nullptr}}), -1);
	EXPECT_EQ(call("fcntl_setfd", {integer(1)}), -1); /* only the flags */
	EXPECT_EQ(call("fcntl_getfd", {}), -1);
	EXPECT_TRUE(syscalls.empty());
	EXPECT_TRUE(errnos.empty());
}

TEST_F(Module, InterruptedCallsAreRepeated)
{
	fake = true;
	eintr_left = 1000;
	fake_result = 1;
	EXPECT_EQ(call("fcntl_getfd", {integer(5)}), 1);
	EXPECT_EQ(syscalls.size(), 1001u);

	syscalls.clear();
	eintr_left = 3;
	fake_result = 0;
	EXPECT_EQ(call("fcntl_setfl", {integer(5), integer(0x800)}), 0);
	ASSERT_EQ(syscalls.size(), 4u);
	for (auto &s : syscalls)
		EXPECT_EQ(s.arg, 0x800);
	EXPECT_TRUE(errnos.empty());

	/* Interrupted, then a real failure: only the failure is reported. */
	eintr_left = 2;
	fake_result = -1;
	fake_errno = EBADF;
	EXPECT_EQ(call("fcntl_getfl", {integer(5)}), -1);
	EXPECT_EQ(call("fcntl_setfd", {integer(5), integer(1)}), -1);
	EXPECT_EQ(errnos, (std::vector<int>{EBADF, EBADF}));
}
