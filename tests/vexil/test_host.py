# SPDX-License-Identifier: ISC
"""The Vexil host itself: its little language and its error messages, the
calling convention it enforces on modules, module loading, deinit at exit,
and descriptor objects that close their descriptor with the last reference."""

import os
import resource
import subprocess

import pytest

from vexilhost import command, vexil  # noqa: F401 (fixture)


def test_expressions(vexil):
    out = vexil.ok('''
        x = 5; y = x - 7   # comment
        print(x, y, -y, ~0, 0x10 + 1, 0xffffffff, 0x7fffffff + 1, 2147483647 + 1 == -2147483648)
        print(1 | 6 & 3, 6 & 3 == 2, (1 | 6) & 3, 4 + 4 & 12, - -3, ~~7)
        print("s", "a" == "a", "a" != "b", "1" == 1, 3 != 3, "tab\\there", "q\\"\\\\")
        x = "now a string"; print(x,
            y)
        print()
    ''', modules=())
    assert out == ['5 -2 2 -1 17 -1 -2147483648 1',
                   '3 1 3 8 3 7',
                   's 1 1 0 0 tab\there q"\\',
                   'now a string -2',
                   '']


@pytest.mark.parametrize('script, where, message', [
    ('print(1 +)', '1:10', "expected an expression, found ')'"),
    ('x = 1\n  y = (2 +\n\n', '4:1', "expected an expression, found 'end of script'"),
    ('print(1) print(2)', '1:10', "expected end of statement, found 'print'"),
    ('print(1)\nx = "abc', '2:5', 'unterminated string'),
    ('x = "a\\q"', '1:5', 'unknown escape \\q'),
    ('x = 0x', '1:5', 'malformed integer literal'),
    ('x = 12ab', '1:5', 'malformed integer literal'),
    ('x = 4294967296', '1:5', 'integer literal out of range'),
    ('x = 1 $ 2', '1:7', "unexpected character '$'"),
    ('print(1)\nprint(nothing)', '2:7', 'undefined name nothing'),
    ('nothing(1)', '1:1', 'undefined function nothing'),
    ('Global.print(1)', '1:1', 'undefined function Global.print'),
    ('errno = 1', '1:1', 'cannot assign to errno'),
    ('x = "a" & 1', '1:9', 'operator & needs integers'),
    ('x = -"a"', '1:5', 'operator - needs integers'),
    ('open("x")', '1:1', 'open: wrong number of arguments (1)'),
    ('open(1, 2)', '1:1', 'open: argument 1 must be a string'),
    ('fileno(1)', '1:1', 'fileno: argument 1 must be a descriptor object'),
])
def test_script_errors(vexil, script, where, message):
    r = vexil.run(script, modules=())
    assert r.returncode == 1
    assert r.stderr == f'vexil: -e:{where}: {message}\n'


def test_syntax_checked_before_running(vexil):
    r = vexil.run('print("ran")\nprint(1 2)', modules=())
    assert (r.returncode, r.stdout) == (1, '')
    assert r.stderr == "vexil: -e:2:9: expected ')', found '2'\n"


def test_calling_convention(vexil):
    """Declared arguments are the last ones, in order; the rest stay for the
    handler; what it leaves or takes beyond them is reported."""
    assert vexil.ok('print(stack_sub(10, 3), stack_grab(4, 5), stack_keep())') == ['7 9 7']
    cases = [
        ('stack_keep(1)', '1:1', 'stack_keep: left 1 argument(s) unconsumed'),
        ('x = stack_sub(1, 10, 3)', '1:5', 'stack_sub: left 1 argument(s) unconsumed'),
        ('print(stack_grab(1))', '1:7', 'stack_grab: wanted more arguments than it was given'),
        ('stack_grab(1, 2, 3)', '1:1', 'stack_grab: left 1 argument(s) unconsumed'),
        ('stack_peek("s")', '1:1', 'stack_peek: left 1 argument(s) unconsumed'),
        ('stack_sub(1)', '1:1', 'stack_sub: expects at least 2 argument(s), 1 given'),
        ('stack_sub(1, "x")', '1:1', 'stack_sub: argument 2 must be an integer'),
        ('fcntl_setfd(1)', '1:1', 'fcntl_setfd: wanted more arguments than it was given'),
    ]
    for script, where, message in cases:
        r = vexil.run(script)
        assert r.returncode == 1, script
        assert f'vexil: -e:{where}: {message}\n' in r.stderr, script


def test_module_loading(vexil):
    r = vexil.run('print(1)', modules=('oldver',))
    assert (r.returncode, r.stdout) == (1, '')
    assert r.stderr == 'vexil: oldver: module API version 20200, this host supports 20300\n'
    r = vexil.run('1', modules=('absent',))
    assert r.returncode == 1
    assert r.stderr == 'vexil: absent: absent-module.so not found on the module path\n'
    r = vexil.run('1', modules=('../modules/fcntl',))
    assert r.stderr == 'vexil: ../modules/fcntl: not a module name\n'
    # The path from the environment works as the option does.
    assert vexil.ok('print(fcntl_getfd(-1), import("oldver"), import("stack", "S"), S.stack_keep())',
                    modules=('fcntl',), path=False,
                    env={'VEXIL_MODULE_PATH': vexil.path}) == ['-1 -1 0 7']


def test_deinit_at_exit(vexil):
    r = vexil.run('deinit("stack"); import("stack", "Other"); print(Other.stack_keep())')
    assert (r.returncode, r.stdout) == (0, '7\n')
    # Called once by the script and once, for the one loaded module, at exit.
    assert r.stderr == 'stack-module: deinit\n' * 2
    r = vexil.run('print(1)\nstack_keep(1)')
    assert r.returncode == 1
    assert r.stderr.endswith('stack-module: deinit\n')
    assert vexil.ok('print(deinit("absent"), has_feature("__STACK__"), has_feature("__X__"))',
                    modules=('stack',)) == ['-1 1 0']


@pytest.mark.parametrize('script, modules, out', [
    # Two inits, one deinit by the script: the other is due at exit.
    ('print(deinit("state"))', ('state', 'state:Other'), '0\n'),
    ('print(deinit("state"), deinit("state"), deinit("state"), import("state", "Third"))',
     ('state', 'state:Other'), '0 0 -1 0\n'),
    ('print(import("state"), import("state", "Other"))', ('state',), '0 0\n'),
])
def test_each_init_has_its_deinit(vexil, script, modules, out):
    """state-module ends the run with a message on a deinit that no init
    matches and on an init left without its deinit at exit."""
    r = vexil.run(script, modules=modules)
    assert (r.returncode, r.stdout, r.stderr) == (0, out, '')


def test_descriptor_objects(vexil, tmp_path):
    """The last reference closes the descriptor; copies share one object."""
    path = tmp_path / 'f'
    out = vexil.ok(f'''
        f = open("{path}", O_WRONLY | O_CREAT, 0x180); g = f
        print(refcount(f), f == g, fileno(f) == fileno(g), errno)
        n = fileno(f); f = 0
        print(refcount(g), fcntl_getfd(n) != -1)
        g = 0
        print(fcntl_getfd(n), errno == EBADF)
        print(open("{tmp_path}/none", O_RDONLY), errno == ENOENT, errno_string(EINTR))
    ''', modules=('fcntl',))
    assert out == ['2 1 1 0', '1 1', '-1 1', '-1 1 Interrupted system call']
    assert (os.stat(path).st_mode & 0o777) == 0o600


def test_script_file_and_stdin(vexil, tmp_path):
    script = tmp_path / 's.vx'
    script.write_text('x = 2\nprint(x +\n  1)\ny = (\n')
    r = subprocess.run(command(vexil.target, vexil.program, str(script)),
                       capture_output=True, text=True)
    assert r.returncode == 1
    assert r.stderr == f"vexil: {script}:5:1: expected an expression, found 'end of script'\n"
    r = subprocess.run(command(vexil.target, vexil.program), input='print("in", 1 + 1)\n',
                       capture_output=True, text=True)
    assert (r.returncode, r.stdout) == (0, 'in 2\n')
    for args in (['-e', '1', 'file'], ['a', 'b'], ['-q']):
        r = subprocess.run(command(vexil.target, vexil.program, *args), capture_output=True,
                           text=True)
        assert r.returncode == 2
        assert r.stderr.endswith(
            'usage: vexil [-P path] [-m module[:namespace]]... [-e statements | file]\n')


@pytest.mark.parametrize('script, status, message', [
    ('print(1)', 1, 'vexil: write error: No space left on device\n'),
    ('print(1)\nx = y', 1, "vexil: -e:2:5: undefined name y\n"
                           "vexil: write error: No space left on device\n"),
    ('x = 1', 0, ''),
])
def test_output_that_does_not_arrive(vexil, script, status, message):
    """Output lost to a full device or a closed standard output fails the
    run; a closed one that nothing was written to does not."""
    with open('/dev/full', 'w') as full:
        r = subprocess.run(command(vexil.target, vexil.program, '-e', script),
                           stdout=full, stderr=subprocess.PIPE, text=True, timeout=60)
    assert (r.returncode, r.stderr) == (status, message)
    r = subprocess.run(['sh', '-c', 'exec "$@" >&-', 'sh',
                        *command(vexil.target, vexil.program, '-e', script)],
                       capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stderr) == (status, message.replace(
        'No space left on device', 'Bad file descriptor'))


def test_help_and_version(vexil):
    usage = 'usage: vexil [-P path] [-m module[:namespace]]... [-e statements | file]\n'
    r = subprocess.run(command(vexil.target, vexil.program, '-e', '1', '--help'),
                       capture_output=True, text=True)
    assert (r.returncode, r.stdout, r.stderr) == (0, usage, '')
    r = subprocess.run(command(vexil.target, vexil.program, '--version'), capture_output=True,
                       text=True)
    assert (r.returncode, r.stderr) == (0, '')
    assert r.stdout.startswith('vexil ') and r.stdout.endswith(', module API 20300\n')


def test_nul_in_string_refused(vexil, tmp_path):
    """A C string ends at a NUL: "/etc/passwd\\0.nope" must not open /etc/passwd."""
    script = tmp_path / 'nul.vx'
    for text in (b'print("ran")\nf = open("/etc/passwd\0.nope", O_RDONLY)\n',
                 b'print("ran")\nf = open("/etc/passwd\\\0", O_RDONLY)\n'):
        script.write_bytes(text)
        r = subprocess.run(command(vexil.target, vexil.program, str(script)),
                           capture_output=True, text=True)
        assert (r.returncode, r.stdout) == (1, '')
        assert r.stderr == f'vexil: {script}:2:10: NUL byte in string\n'


def test_nesting_is_bounded(vexil):
    """Deep nesting, even unbalanced, is a syntax error where it passes 200
    levels, not a crash of the recursive parser; 200 levels still run."""
    assert vexil.ok('print(' + '(' * 198 + '-1' + ')' * 199, modules=()) == ['-1']
    for script, where in [('x = ' + '(' * 8000, '1:205'),
                          ('x = ' + '- ' * 30000 + '1', '1:405'),
                          ('print(1)\n' + 'print(' * 8000, '2:1206'),
                          ('print(' + '~(' * 100 + '1' + ')' * 101, '1:206')]:
        r = vexil.run(script, modules=())
        assert (r.returncode, r.stdout) == (1, '')
        assert r.stderr == f'vexil: -e:{where}: nesting deeper than 200 levels\n'


def test_out_of_memory(vexil):
    """A script too big for the memory left is reported, not an abort."""
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (64 << 20, 64 << 20))
    # qemu-user needs room of its own: the guest is bounded by its reservation.
    env = dict(os.environ, QEMU_RESERVED_VA='0x8000000')
    r = subprocess.run(command(vexil.target, vexil.program), input='1;' * 3_000_000,
                       capture_output=True, text=True, env=env, timeout=120,
                       preexec_fn=limit if vexil.target == 'host' else None)
    assert (r.returncode, r.stdout, r.stderr) == (1, '', 'vexil: out of memory\n')


def test_unusable_module_candidates_skipped(vexil, tmp_path):
    """A FIFO (which would block the host), a directory and an empty file
    named like the module are passed over for a good one further along the
    path, and listed only when no candidate loads."""
    bad = []
    for kind in ('fifo', 'dir', 'empty'):
        (tmp_path / kind).mkdir()
        bad.append(tmp_path / kind / 'stack-module.so')
    os.mkfifo(bad[0])
    bad[1].mkdir()
    bad[2].touch()
    path = ':'.join(str(p.parent) for p in bad)

    def run(path):
        return subprocess.run(command(vexil.target, vexil.program, '-P', path, '-m', 'stack',
                                      '-e', 'print(stack_keep())'),
                              capture_output=True, text=True, timeout=30)
    r = run(path + ':' + vexil.helpers)
    assert (r.returncode, r.stdout) == (0, '7\n')
    assert r.stderr == 'stack-module: deinit\n'
    r = run(path)
    assert (r.returncode, r.stdout) == (1, '')
    assert r.stderr == (f'vexil: stack: {bad[0]}: skipped, not a regular file\n'
                        f'vexil: stack: {bad[1]}: skipped, not a regular file\n'
                        f'vexil: stack: {bad[2]}: skipped, empty\n'
                        'vexil: stack: stack-module.so not found on the module path\n')
