# SPDX-License-Identifier: ISC
"""fcntl-module loaded by the real Vexil host: the four functions on real
descriptors, the descriptor argument in its three forms, errno, EINTR,
initialisation through the host's failure hooks, and the shared object's
symbols and needed libraries."""

import fcntl
import os
import subprocess

import pytest

from vexilhost import vexil  # noqa: F401 (fixture)

OPS = 'fcntl_getfd fcntl_setfd fcntl_getfl fcntl_setfl'.split()


@pytest.fixture
def path(tmp_path):
    p = tmp_path / 'data'
    p.write_text('x\n')
    return str(p)


def test_descriptor_flags(vexil, path):
    out = vexil.ok(f'''
        f = open("{path}", O_RDONLY)
        print(fcntl_getfd(f) & FD_CLOEXEC, fcntl_setfd(f, FD_CLOEXEC), fcntl_getfd(f) & FD_CLOEXEC)
        print(fcntl_setfd(f, 0), fcntl_getfd(f))
        g = open("{path}", O_RDONLY | O_CLOEXEC)
        print(fcntl_getfd(g), FD_CLOEXEC, O_ACCMODE, errno)
    ''')
    assert out == ['0 0 1', '0 0', '1 1 3 0']


def test_access_mode(vexil, path):
    out = vexil.ok(f'''
        r = open("{path}", O_RDONLY); w = open("{path}", O_WRONLY); rw = open("{path}", O_RDWR)
        print(fcntl_getfl(r) & O_ACCMODE == O_RDONLY, fcntl_getfl(w) & O_ACCMODE == O_WRONLY,
              fcntl_getfl(rw) & O_ACCMODE == O_RDWR, fcntl_getfl(rw) & O_ACCMODE == O_RDONLY)
    ''')
    assert out == ['1 1 1 0']


def test_status_flags_reach_the_open_file(vexil, path):
    """Flags set through an inherited integer descriptor are seen by the
    process that shares the open file, and cleared again."""
    fd = os.open(path, os.O_WRONLY)
    try:
        out = vexil.ok(f'''
            print(fcntl_setfl({fd}, O_NONBLOCK | O_APPEND))
            fl = fcntl_getfl({fd})
            print(fl & O_NONBLOCK == O_NONBLOCK, fl & O_APPEND == O_APPEND, fl & O_ACCMODE == O_WRONLY)
        ''', pass_fds=(fd,))
        assert out == ['0', '1 1 1']
        fl = fcntl.fcntl(fd, fcntl.F_GETFL)
        assert fl & os.O_NONBLOCK and fl & os.O_APPEND
        assert vexil.ok(f'print(fcntl_setfl({fd}, 0), fcntl_getfl({fd}) & (O_NONBLOCK | O_APPEND))',
                        pass_fds=(fd,)) == ['0 0']
        assert not fcntl.fcntl(fd, fcntl.F_GETFL) & (os.O_NONBLOCK | os.O_APPEND)
    finally:
        os.close(fd)


def test_integer_and_object_agree(vexil, path):
    # Each line sets through one form and reads through both.
    out = vexil.ok(f'''
        f = open("{path}", O_RDWR); n = fileno(f)
        print(fcntl_getfd(f), fcntl_getfd(n), fcntl_getfl(f) == fcntl_getfl(n))
        print(fcntl_setfd(f, FD_CLOEXEC), fcntl_getfd(f), fcntl_getfd(n))
        print(fcntl_setfd(n, 0), fcntl_getfd(f), fcntl_getfd(n))
        print(fcntl_setfl(n, O_NONBLOCK), fcntl_getfl(f) == fcntl_getfl(n), fcntl_getfl(f) & O_NONBLOCK == O_NONBLOCK)
        print(fcntl_setfl(f, 0), fcntl_getfl(f) == fcntl_getfl(n), fcntl_getfl(n) & O_NONBLOCK)
        print(refcount(f), errno)
    ''')
    assert out == ['0 0 1', '0 1 1', '0 0 0', '0 1 1', '0 1 0', '1 0']


def test_temporary_object(vexil, path):
    """open(...) written in the call is the object's only reference: the
    descriptor stays open for the call and is closed after it (the lowest
    free number is the one the temporary had)."""
    out = vexil.ok(f'''
        f = open("{path}", O_RDONLY); n = fileno(f); f = 0
        print(fcntl_getfd(open("{path}", O_RDONLY | O_CLOEXEC)), errno)
        print(fcntl_getfl(open("{path}", O_WRONLY)) & O_ACCMODE == O_WRONLY, errno)
        print(fcntl_setfd(open("{path}", O_RDONLY), FD_CLOEXEC), fcntl_setfl(open("{path}", O_RDONLY), O_NONBLOCK), errno)
        g = open("{path}", O_RDONLY)
        print(fileno(g) == n, fcntl_getfd(g), fcntl_getfd(fileno(g)), errno)
    ''')
    assert out == ['1 0', '1 0', '0 0 0', '1 0 0 0']


@pytest.mark.parametrize('op', OPS)
def test_bad_descriptor(vexil, path, op):
    """A closed descriptor and a negative one: -1 and EBADF, each time
    after errno was cleared."""
    args = ', 0' if op.endswith(('setfd', 'setfl')) else ''
    out = vexil.ok(f'''
        f = open("{path}", O_RDONLY); n = fileno(f)
        f = 0   # the last reference goes: the descriptor is closed
        print({op}(n{args}), errno == EBADF)
        stack_set_errno(0)
        print({op}(-1{args}), errno == EBADF)
        stack_set_errno(0)
        print({op}(-2147483647 - 1{args}), errno == EBADF, errno_string())
    ''')
    assert out == ['-1 1', '-1 1', '-1 1 Bad file descriptor']


def test_string_descriptor_makes_no_call(vexil):
    r = vexil.run('''
        stack_set_errno(77)
        print(fcntl_getfd("0"), fcntl_setfd("0", 1), fcntl_getfl("x"), fcntl_setfl("", 0), errno)
        print(fcntl_getfd(0 == 0) != -1, errno)
    ''', shim=0)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ['-1 -1 -1 -1 77', '1 77']
    # Only the last call, with an integer, reached fcntl.
    assert 'fcntl-shim: 1 calls, 0 interrupted' in r.stderr


def test_unreadable_object_is_released(vexil, path):
    r = vexil.run(f'''
        f = open("{path}", O_RDWR)
        print(refcount(f), fcntl_getfd(f), fcntl_setfd(f, 1), fcntl_getfl(f), fcntl_setfl(f, 0), refcount(f), errno)
        print(fcntl_getfd(fileno(f)))
    ''', env={'VEXIL_TEST_UNREADABLE_FD': '1'}, shim=0)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ['1 -1 -1 -1 -1 1 0', '0']
    assert 'fcntl-shim: 1 calls, 0 interrupted' in r.stderr


def test_eintr_is_retried_silently(vexil, path):
    r = vexil.run(f'''
        f = open("{path}", O_RDWR)
        print(fcntl_setfd(f, FD_CLOEXEC), fcntl_getfd(f), fcntl_getfl(f) & O_ACCMODE == O_RDWR)
        print(fcntl_setfl(f, O_APPEND), fcntl_getfl(f) & O_APPEND == O_APPEND, errno)
        print(fcntl_getfd(-1), errno == EBADF)
    ''', shim=3)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ['0 1 1', '0 1 0', '-1 1']
    assert 'fcntl-shim: 6 calls, 18 interrupted' in r.stderr


def test_init_fails_without_namespace(vexil):
    r = vexil.run('''
        print(import("fcntl", "Fx"), is_defined("Fx.fcntl_getfd"), is_defined("Fx.FD_CLOEXEC"),
              has_feature("__FCNTL__"), import("fcntl", "Fy"), is_defined("Fy.fcntl_getfd"))
    ''', modules=(), env={'VEXIL_TEST_FAIL_NAMESPACE': 'Fx'})
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ['-1 0 0 0 0 1']
    assert 'fcntl: initialisation in namespace Fx failed' in r.stderr


def test_init_fails_on_tables(vexil):
    # Constants refused: the functions stay; functions refused: no constants.
    out = vexil.ok('''
        print(import("fcntl", "Fc"), is_defined("Fc.fcntl_getfd"), is_defined("Fc.fcntl_setfl"),
              is_defined("Fc.FD_CLOEXEC"), has_feature("__FCNTL__"), Fc.fcntl_getfd(0) != -1)
    ''', modules=('stack',), env={'VEXIL_TEST_FAIL_ICONSTANTS': 'Fc'})
    assert out == ['-1 1 1 0 1 1']
    out = vexil.ok('''
        print(import("fcntl", "Fi"), is_defined("Fi.fcntl_getfd"), is_defined("Fi.O_ACCMODE"),
              has_feature("__FCNTL__"))
    ''', modules=('stack',), env={'VEXIL_TEST_FAIL_INTRINSICS': 'Fi'})
    assert out == ['-1 0 0 0']


def test_namespaces_and_deinit(vexil, path):
    out = vexil.ok(f'''
        deinit("fcntl")
        f = open("{path}", O_RDONLY)
        print(fcntl_setfd(f, FD_CLOEXEC), Second.fcntl_getfd(f), Second.FD_CLOEXEC, Second.O_ACCMODE)
        deinit("fcntl")
        print(import("fcntl", "Third"), Third.fcntl_setfd(f, 0), fcntl_getfd(f), Third.fcntl_getfl(f) & O_ACCMODE)
        deinit("fcntl")
        print(Second.fcntl_getfd(f), is_defined("Second.fcntl_setfl"), is_defined("Third.FD_CLOEXEC"))
    ''', modules=('fcntl', 'fcntl:Second', 'stack'))
    assert out == ['0 1 1 3', '0 0 0 0', '0 1 2']


@pytest.fixture
def elf(vexil):
    def readelf(*args):
        return subprocess.run(['readelf', '-W', *args, vexil.module], capture_output=True,
                              text=True, check=True).stdout
    return readelf


def dynamic_symbols(text):
    """(name, defined) for each global or weak dynamic symbol."""
    syms = []
    for line in text.splitlines():
        f = line.split()
        if len(f) >= 8 and f[0].endswith(':') and f[4] in ('GLOBAL', 'WEAK'):
            syms.append((f[7].split('@')[0], f[6] != 'UND'))
    return syms


def test_module_exports_and_needs(vexil, elf):
    syms = dynamic_symbols(elf('--dyn-syms'))
    assert sorted(n for n, d in syms if d) == [
        'VXmodule_fcntl_api_version', 'deinit_fcntl_module', 'init_fcntl_module_ns']
    undefined = {n for n, d in syms if not d}
    ops = {'VXns_create_namespace', 'VXns_add_intrin_fun_table', 'VXns_add_iconstant_table',
           'Vexil_peek_at_stack', 'Vexil_pop_int', 'VXfile_pop_fd', 'VXfile_get_fd',
           'VXfile_free_fd', 'VXerrno_set_errno'}
    assert ops <= undefined
    assert all(n in ops for n in undefined if n.startswith(('VX', 'Vexil')))
    needed = [l.split('[')[1].rstrip(']') for l in elf('-d').splitlines() if '(NEEDED)' in l]
    assert needed == ['libc.so.6']
    assert 'Shared object file' in elf('-h') or 'DYN' in elf('-h')
    # The host supplies every operation from its own dynamic symbol table.
    host = subprocess.run(['readelf', '-W', '--dyn-syms', vexil.program], capture_output=True,
                          text=True, check=True).stdout
    assert ops <= {n for n, d in dynamic_symbols(host) if d}
