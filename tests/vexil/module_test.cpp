/* SPDX-License-Identifier: ISC */
/*
 * fcntl-module against a test host: this executable supplies the
 * interpreter operations itself (exported, as a real host does), records
 * every call the module makes, and interposes fcntl so that the module's
 * system calls can be interrupted or failed on demand.
 */
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

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
	std::string name;
};

struct Item {
	int type;
	int i;
	VXFile_FD_Type *f;
};

static std::vector<Item> stack;
static std::vector<std::string> calls; /* every operation the module made */
static std::vector<int> errnos;        /* values given to VXerrno_set_errno */
static _Vexil_NameSpace_Type the_ns;
static const Vexil_Intrin_Fun_Type *funs;
static const Vexil_IConstant_Type *consts;
static bool fail_create, fail_funs, fail_consts;

/* The interposed fcntl: off, it passes calls on; on, it answers them. */
struct Syscall {
	int fd, cmd, arg;
};
static bool fake;
static int eintr_left;           /* interrupts before the answer */
static int fake_result, fake_errno;
static std::vector<Syscall> syscalls;

extern "C" {

Vexil_NameSpace_Type *
VXns_create_namespace(const char *name)
{
	calls.push_back(std::string("create ") + name);
	if (fail_create)
		return nullptr;
	the_ns.name = name;
	return &the_ns;
}

int
VXns_add_intrin_fun_table(Vexil_NameSpace_Type *ns, const Vexil_Intrin_Fun_Type *t,
    const char *feature)
{
	calls.push_back(std::string("funs ") + ns->name + " " + (feature ? feature : "null"));
	funs = t;
	return fail_funs ? -1 : 0;
}

int
VXns_add_iconstant_table(Vexil_NameSpace_Type *ns, const Vexil_IConstant_Type *t,
    const char *feature)
{
	calls.push_back(std::string("consts ") + ns->name + " " + (feature ? feature : "null"));
	consts = t;
	return fail_consts ? -1 : 0;
}

int
Vexil_peek_at_stack(void)
{
	calls.push_back("peek");
	return stack.empty() ? -1 : stack.back().type;
}

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

	calls.push_back("pop_int");
	if (!pop(VX_INT_TYPE, &it))
		return -1;
	*ip = it.i;
	return 0;
}

int
VXfile_pop_fd(VXFile_FD_Type **fp)
{
	Item it;

	calls.push_back("pop_fd");
	if (!pop(VX_FILE_FD_TYPE, &it))
		return -1;
	*fp = it.f;
	return 0;
}

int
VXfile_get_fd(VXFile_FD_Type *f, int *fdp)
{
	calls.push_back("get_fd");
	if (!f->readable)
		return -1;
	*fdp = f->fd;
	return 0;
}

void
VXfile_free_fd(VXFile_FD_Type *f)
{
	calls.push_back("free_fd");
	f->refs--;
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

	if (!fake) {
		auto real = reinterpret_cast<int (*)(int, int, ...)>(dlsym(RTLD_NEXT, name));
		return real(fd, cmd, arg);
	}
	syscalls.push_back(Syscall{fd, cmd, arg});
	calls.push_back("fcntl");
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
		stack.clear();
		calls.clear();
		errnos.clear();
		syscalls.clear();
		fail_create = fail_funs = fail_consts = false;
		fake = true;
		eintr_left = 0;
		fake_result = 0;
		fake_errno = 0;
		char ns[] = "Test";
		ASSERT_EQ(init(ns), 0);
		calls.clear();
	}

	void
	TearDown() override
	{
		fake = false;
	}

	/* Call a script function as the host does, declared flags last. */
	static int
	call(const char *name, const std::vector<Item> &args)
	{
		for (const Vexil_Intrin_Fun_Type *r = funs; r->name != nullptr; r++) {
			if (strcmp(r->name, name) != 0)
				continue;
			auto f = reinterpret_cast<void (*)(void)>(r->i_fun);
			if (r->num_args == 0) {
				stack.insert(stack.end(), args.begin(), args.end());
				return reinterpret_cast<int (*)(void)>(f)();
			}
			int flags = args.back().i;
			stack.insert(stack.end(), args.begin(), args.end() - 1);
			return reinterpret_cast<int (*)(int *)>(f)(&flags);
		}
		ADD_FAILURE() << name << " is not in the table";
		return -2;
	}
};

void *Module::handle;
int (*Module::init)(char *);
void (*Module::deinit)(void);

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

TEST_F(Module, VersionAndTables)
{
	int *version = static_cast<int *>(dlsym(handle, "VXmodule_fcntl_api_version"));
	ASSERT_NE(version, nullptr);
	EXPECT_EQ(*version, 20300);

	struct {
		const char *name;
		unsigned char num_args;
	} rows[] = {{"fcntl_getfd", 0}, {"fcntl_setfd", 1}, {"fcntl_getfl", 0},
	    {"fcntl_setfl", 1}};
	for (int k = 0; k < 5; k++) {
		const Vexil_Intrin_Fun_Type &r = funs[k];
		EXPECT_EQ(r.next, nullptr);
		EXPECT_EQ(r.name_type, 5);
		if (k == 4) {
			EXPECT_EQ(r.name, nullptr);
			EXPECT_EQ(r.i_fun, nullptr);
			EXPECT_EQ(r.num_args, 0);
			EXPECT_EQ(r.return_type, 0u);
			for (VXtype t : r.arg_types)
				EXPECT_EQ(t, 0u);
			break;
		}
		ASSERT_NE(r.name, nullptr);
		EXPECT_STREQ(r.name, rows[k].name);
		EXPECT_NE(r.i_fun, nullptr);
		EXPECT_EQ(r.num_args, rows[k].num_args);
		EXPECT_EQ(r.return_type, 20u);
		for (int a = 0; a < 7; a++)
			EXPECT_EQ(r.arg_types[a], a < r.num_args ? 20u : 0u) << r.name << " " << a;
	}

	EXPECT_STREQ(consts[0].name, "FD_CLOEXEC");
	EXPECT_EQ(consts[0].value, FD_CLOEXEC);
	EXPECT_STREQ(consts[1].name, "O_ACCMODE");
	EXPECT_EQ(consts[1].value, O_ACCMODE);
	EXPECT_EQ(consts[2].name, nullptr);
	EXPECT_EQ(consts[2].value, 0);
	for (int k = 0; k < 3; k++) {
		EXPECT_EQ(consts[k].next, nullptr);
		EXPECT_EQ(consts[k].name_type, 11);
		EXPECT_EQ(consts[k].data_type, 20u);
	}
}

TEST_F(Module, InitStepsAndFailures)
{
	char ns[] = "Other";
	const std::vector<std::string> all = {"create Other", "funs Other __FCNTL__",
	    "consts Other null"};

	EXPECT_EQ(init(ns), 0);
	EXPECT_EQ(calls, all);

	calls.clear();
	fail_create = true;
	EXPECT_EQ(init(ns), -1);
	EXPECT_EQ(calls, std::vector<std::string>(all.begin(), all.begin() + 1));

	calls.clear();
	fail_create = false;
	fail_funs = true;
	EXPECT_EQ(init(ns), -1);
	EXPECT_EQ(calls, std::vector<std::string>(all.begin(), all.begin() + 2));

	calls.clear();
	fail_funs = false;
	fail_consts = true;
	EXPECT_EQ(init(ns), -1);
	EXPECT_EQ(calls, all);
	EXPECT_TRUE(errnos.empty());
}

TEST_F(Module, CommandsAndFlagsReachTheCall)
{
	VXFile_FD_Type f = {42, 2, true};

	fake_result = 0x55;
	EXPECT_EQ(call("fcntl_getfd", {integer(-7)}), 0x55);
	EXPECT_EQ(call("fcntl_setfd", {object(&f), integer(-1)}), 0x55);
	EXPECT_EQ(call("fcntl_getfl", {object(&f)}), 0x55);
	EXPECT_EQ(call("fcntl_setfl", {integer(9), integer(0x7ffff001)}), 0x55);
	ASSERT_EQ(syscalls.size(), 4u);
	EXPECT_EQ(syscalls[0].fd, -7);
	EXPECT_EQ(syscalls[0].cmd, F_GETFD);
	EXPECT_EQ(syscalls[1].fd, 42);
	EXPECT_EQ(syscalls[1].cmd, F_SETFD);
	EXPECT_EQ(syscalls[1].arg, -1);
	EXPECT_EQ(syscalls[2].cmd, F_GETFL);
	EXPECT_EQ(syscalls[3].fd, 9);
	EXPECT_EQ(syscalls[3].cmd, F_SETFL);
	EXPECT_EQ(syscalls[3].arg, 0x7ffff001);
	EXPECT_EQ(f.refs, 0);
	EXPECT_TRUE(stack.empty());
	EXPECT_TRUE(errnos.empty());
}

TEST_F(Module, DescriptorArgument)
{
	VXFile_FD_Type good = {3, 1, true}, bad = {3, 1, false};

	/* The object may hold the last reference: it goes after the call. */
	EXPECT_EQ(call("fcntl_getfd", {object(&good)}), 0);
	EXPECT_EQ(calls, (std::vector<std::string>{"peek", "pop_fd", "get_fd", "fcntl", "free_fd"}));
	EXPECT_EQ(good.refs, 0);

	calls.clear();
	EXPECT_EQ(call("fcntl_setfl", {object(&bad), integer(1)}), -1);
	EXPECT_EQ(calls, (std::vector<std::string>{"peek", "pop_fd", "get_fd", "free_fd"}));
	EXPECT_EQ(bad.refs, 0);

	calls.clear();
	EXPECT_EQ(call("fcntl_getfl", {Item{VX_STRING_TYPE, 0, nullptr}}), -1);
	EXPECT_EQ(calls, (std::vector<std::string>{"peek", "pop_fd"}));

	calls.clear();
	EXPECT_EQ(call("fcntl_setfd", {integer(1)}), -1); /* no descriptor at all */
	EXPECT_EQ(call("fcntl_getfd", {}), -1);

	EXPECT_EQ(syscalls.size(), 1u);
	EXPECT_TRUE(errnos.empty());
}

TEST_F(Module, InterruptedCallsAreRepeated)
{
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

TEST_F(Module, RealDescriptorAndDeinit)
{
	int p[2];

	fake = false;
	ASSERT_EQ(pipe(p), 0);
	deinit();
	EXPECT_EQ(call("fcntl_setfd", {integer(p[0]), integer(FD_CLOEXEC)}), 0);
	EXPECT_EQ(call("fcntl_getfd", {integer(p[0])}), FD_CLOEXEC);
	EXPECT_EQ(call("fcntl_getfl", {integer(p[1])}) & O_ACCMODE, O_WRONLY);
	deinit();
	EXPECT_EQ(call("fcntl_setfl", {integer(p[1]), integer(O_NONBLOCK)}), 0);
	EXPECT_NE(call("fcntl_getfl", {integer(p[1])}) & O_NONBLOCK, 0);
	EXPECT_TRUE(errnos.empty());
	(void)close(p[0]);
	(void)close(p[1]);
	EXPECT_EQ(call("fcntl_getfd", {integer(p[0])}), -1);
	EXPECT_EQ(errnos, std::vector<int>{EBADF});
	EXPECT_EQ(funs[0].name_type, 5);
}
