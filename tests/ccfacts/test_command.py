# SPDX-License-Identifier: ISC
"""ccfacts as a command: its options, the C++ compiler it names after the C
one, shell-like words, and compilers that hang, ignore signals or leave
odd files behind.  Crafted compilers are shell scripts around gcc."""

import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

from ccfacts_util import CCFACTS, ccfacts

# The output file of the compilation, for scripts that tamper with it.
FIND_OUTPUT = 'out=; prev=\nfor a in "$@"; do [ "$prev" = -o ] && out=$a; prev=$a; done\n'


def script(path, body):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text('#!/bin/sh\n' + body)
    path.chmod(0o755)
    return str(path)


def private_env(tmp_path, **more):
    """A TMPDIR of the test's own, to see what ccfacts leaves there."""
    tmp = tmp_path / 'tmp'
    tmp.mkdir(exist_ok=True)
    env = {k: v for k, v in os.environ.items() if k not in ('CC', 'CXX')}
    env.update(TMPDIR=str(tmp), **more)
    return env


def gone(pid):
    """Whether a process has ended (a zombie of another parent counts)."""
    try:
        with open(f'/proc/{pid}/stat') as f:
            return f.read().rsplit(')', 1)[1].split()[0] == 'Z'
    except FileNotFoundError:
        return True


def all_gone(pids):
    """Whether the processes end soon: one that was sent SIGKILL may still
    wait for a processor on a loaded machine."""
    deadline = time.monotonic() + 20
    while not all(gone(int(pid)) for pid in pids):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def test_help_and_version():
    out = ccfacts('--help')
    assert out.returncode == 0 and out.stderr == ''
    assert out.stdout.startswith('usage: ccfacts [--cc CC]')
    assert '--no-cache' in out.stdout and '--timeout SECONDS' in out.stdout
    out = ccfacts('--version')
    assert out.returncode == 0 and re.fullmatch(r'ccfacts \d+(\.\d+)+\n', out.stdout)
    out = ccfacts('--timeout', '0')
    assert out.returncode == 2 and out.stdout == ''
    assert out.stderr.startswith('ccfacts: --timeout: not a number of seconds: 0\nusage:')


def test_the_cxx_compiler_is_named_after_the_c_compiler(tmp_path):
    bin = tmp_path / 'bin'
    cc = script(bin / 'foo-linux-gnu-gcc-12', 'exec gcc "$@"\n')
    cxx = script(bin / 'foo-linux-gnu-g++-12', 'exec g++ "$@"\n')
    env = private_env(tmp_path, PATH=f'{bin}:{os.environ["PATH"]}')

    def run(*args):
        out = ccfacts('--json', '--no-cache', *args, env=env)
        assert out.returncode == 0, out.stderr
        return json.loads(out.stdout)['cxx'], out.stderr

    assert run('--cc', 'foo-linux-gnu-gcc-12') == (['foo-linux-gnu-g++-12'], '')
    assert run('--cc', cc) == ([cxx], '')
    assert run('--cc', 'clang --target=x86_64-linux-gnu') == \
        (['clang++', '--target=x86_64-linux-gnu'], '')
    os.unlink(cxx)
    assert run('--cc', 'foo-linux-gnu-gcc-12') == (None, (
        'ccfacts: C++ compiler foo-linux-gnu-g++-12 not found; the C++ probes are left out\n'))
    script(bin / 'tcc', 'exec gcc "$@"\n')
    assert run('--cc', 'tcc') == (None, (
        'ccfacts: no C++ compiler is named after tcc; the C++ probes are left out\n'))
    assert run('--cc', 'tcc', '--cxx', 'g++')[0] == ['g++']
    # $CXX goes with $CC, not with a C compiler given on the command line.
    env.update(CC='tcc', CXX='g++')
    assert run()[0] == ['g++']
    assert run('--cc', 'foo-linux-gnu-gcc-12')[0] is None
    del env['CXX']
    assert run()[0] is None


def test_words_are_split_as_the_shell_splits_them(tmp_path):
    cc = script(tmp_path / 'my compilers' / "it's gcc", 'exec gcc "$@"\n')
    quoted = "'" + cc.replace("'", "'\\''") + "'"
    out = ccfacts('--json', '--no-cache', '--cxx', 'none', '--cc', quoted,
                  '--cflags', '''-DX='a b' "-DY=\\"c d\\"" -DZ=e\\ f''')
    assert out.returncode == 0, out.stderr
    f = json.loads(out.stdout)
    assert f['cc'] == [cc]
    assert f['cflags'] == ['-DX=a b', '-DY="c d"', '-DZ=e f']
    # The table quotes them back so that a shell reads the same words.
    out = ccfacts('--no-cache', '--cxx', 'none', '--cc', quoted, '--cflags', "-DX='a b'")
    assert f'C compiler               {quoted}\n' in out.stdout
    assert "flags                    '-DX=a b'\n" in out.stdout
    out = ccfacts('--cflags', "-DX='a b")
    assert out.returncode == 2
    assert out.stderr.startswith("ccfacts: --cflags: unterminated quote: -DX='a b\n")


def test_a_hanging_compiler_is_stopped_with_its_children(tmp_path):
    pids = tmp_path / 'pids'
    cc = script(tmp_path / 'hang', f'sleep 300 &\necho $! >> {pids}\nwait\n')
    start = time.monotonic()
    out = ccfacts('--no-cache', '--cc', cc, '--cxx', 'none', '--timeout', '1',
                  env=private_env(tmp_path))
    assert time.monotonic() - start < 60
    assert out.returncode == 1 and out.stdout == ''
    assert out.stderr == f'ccfacts: link-probe: {cc} did not finish within 1 second\n'
    children = pids.read_text().split()
    assert children and all_gone(children)
    assert os.listdir(tmp_path / 'tmp') == []


def signal_once_started(tmp_path, cc, started, sig, **popen):
    """Runs ccfacts with the C compiler CC until STARTED process ids are in
    tmp_path/pids, sends it SIG, and checks that the signal ended it and
    every process in the pids file, and that its directory is gone."""
    pids = tmp_path / 'pids'
    run = subprocess.Popen([CCFACTS, '--no-cache', '--cc', cc, '--cxx', 'none', '--jobs', '8'],
                           env=private_env(tmp_path), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, **popen)
    try:
        deadline = time.monotonic() + 60
        while len(pids.read_text().split() if pids.exists() else []) < started:
            assert time.monotonic() < deadline and run.poll() is None
            time.sleep(0.05)
        run.send_signal(sig)
        stdout, stderr = run.communicate(timeout=30)
    finally:
        run.kill()
    assert run.returncode == -sig and stdout == ''
    assert all_gone(pids.read_text().split())
    assert os.listdir(tmp_path / 'tmp') == []


@pytest.mark.parametrize('sig, body', [
    (signal.SIGINT, 'exec sleep 300\n'),
    # One that ignores the signal is killed after a grace period.
    (signal.SIGTERM, "trap '' INT TERM\nwhile :; do sleep 1; done\n"),
])
def test_a_signal_is_passed_on_to_the_compilers(tmp_path, sig, body):
    cc = script(tmp_path / 'slow', f'echo $$ >> {tmp_path / "pids"}\n' + body)
    signal_once_started(tmp_path, cc, 6, sig)


# Children that leave the build's process group and session, as a daemon does.
ESCAPE = 'setsid sleep 300 &\necho $! >> {pids}\n'


@pytest.mark.parametrize('sig', [signal.SIGQUIT, signal.SIGUSR1, signal.SIGALRM, signal.SIGSEGV,
                                 signal.SIGRTMIN + 2])
def test_whatever_signal_ends_ccfacts_ends_its_builds(tmp_path, sig):
    """Signals left at their default action, a fault sent by another
    process, and compilers' children that called setsid."""
    pids = tmp_path / 'pids'
    cc = script(tmp_path / 'slow', f'echo $$ >> {pids}\n' + ESCAPE.format(pids=pids) +
                'exec sleep 300\n')
    signal_once_started(tmp_path, cc, 12, sig, cwd=tmp_path)


def test_what_a_build_leaves_running_ends_with_the_run(tmp_path):
    pids = tmp_path / 'pids'
    cc = script(tmp_path / 'leaves', ESCAPE.format(pids=pids) + 'exec gcc "$@"\n')
    out = ccfacts('--no-cache', '--cc', cc, '--cxx', 'none', env=private_env(tmp_path))
    assert out.returncode == 0, out.stderr
    assert len(pids.read_text().split()) == 6 and all_gone(pids.read_text().split())
    assert os.listdir(tmp_path / 'tmp') == []


def test_builds_at_once_follow_the_processors_we_may_use(tmp_path):
    """One build per processor by default; --jobs overrides it."""
    busy, seen = tmp_path / 'busy', tmp_path / 'seen'
    busy.mkdir()
    cc = script(tmp_path / 'counting', f'''
mkdir {busy}/$$
ls {busy} | wc -l >> {seen}
sleep 0.3
rmdir {busy}/$$
exec gcc "$@"
''')

    def most_at_once(*args, cpus=None):
        seen.write_text('')
        out = subprocess.run([CCFACTS, '--no-cache', '--cc', cc, '--cxx', 'none', *args],
                             env=private_env(tmp_path), capture_output=True, text=True,
                             timeout=120, preexec_fn=cpus and (lambda: os.sched_setaffinity(0, cpus)))
        assert out.returncode == 0, out.stderr
        return max(int(n) for n in seen.read_text().split())

    one = {min(os.sched_getaffinity(0))}
    assert most_at_once(cpus=one) == 1
    assert most_at_once('--jobs', '6', cpus=one) > 1
    assert most_at_once() <= len(os.sched_getaffinity(0))


def test_what_a_compiler_leaves_in_the_work_directory_goes_but_nothing_outside(tmp_path):
    outside = tmp_path / 'outside'
    (outside / 'dir').mkdir(parents=True)
    (outside / 'file').write_text('keep')
    cc = script(tmp_path / 'messy', FIND_OUTPUT + f'''
mkdir -p "$out.d/deep/er"
echo x > "$out.d/deep/er/file"
ln -s {outside} "$out.d/dirlink"
ln -s {outside}/file "$out.d/deep/filelink"
exec gcc "$@"
''')
    out = ccfacts('--no-cache', '--cc', cc, '--cxx', 'none', env=private_env(tmp_path))
    assert out.returncode == 0, out.stderr
    assert os.listdir(tmp_path / 'tmp') == []
    assert (outside / 'file').read_text() == 'keep' and (outside / 'dir').is_dir()


@pytest.fixture
def nobody_dir():
    """A directory that user nobody may work in (a test's own tmp_path is
    root's alone); removed afterwards."""
    d = tempfile.mkdtemp(prefix='ccfacts-nobody-')
    os.chmod(d, 0o755)
    yield pathlib.Path(d)
    shutil.rmtree(d)


def test_unreadable_directories_a_compiler_leaves_are_removed(nobody_dir):
    """As a user, not as root, who may open any directory: one of mode 000
    inside the work directory, and the work directory itself."""
    tmp = nobody_dir / 'tmp'
    tmp.mkdir()
    os.chown(tmp, 65534, 65534)
    locked = script(nobody_dir / 'locked', FIND_OUTPUT + 'gcc "$@" || exit\n'
                    'mkdir -p "$out.d/inner/deeper" && chmod 000 "$out.d/inner" "$out.d"\n')
    workdir_locked = script(nobody_dir / 'workdir-locked', FIND_OUTPUT +
                            'gcc "$@" || exit\nchmod 000 "${out%/*}"\n')
    env = private_env(nobody_dir)
    as_nobody = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', CCFACTS,
                 '--no-cache', '--cxx', 'none', '--cc']
    out = subprocess.run(as_nobody + [locked], env=env, capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert os.listdir(tmp) == []
    out = subprocess.run(as_nobody + [workdir_locked], env=env, capture_output=True, text=True,
                         timeout=120)
    # Which build finds the directory locked first varies; all of them fail.
    assert out.returncode == 1 and out.stdout == ''
    assert os.listdir(tmp) == []


def test_an_output_that_is_a_fifo_is_refused(tmp_path):
    cc = script(tmp_path / 'fifo', FIND_OUTPUT + 'gcc "$@" && rm "$out" && mkfifo "$out"\n')
    out = ccfacts('--no-cache', '--cc', cc, '--cxx', 'none', env=private_env(tmp_path))
    assert out.returncode == 1
    assert out.stderr == 'ccfacts: link-probe: cannot read the executable: not a regular file\n'
    assert os.listdir(tmp_path / 'tmp') == []


def test_json_escapes_bytes_that_are_not_utf8(tmp_path):
    name = os.fsencode(tmp_path) + b'/caf\xe9-\xff/gcc'
    os.makedirs(os.path.dirname(name))
    with open(name, 'w') as f:
        f.write('#!/bin/sh\nexec gcc "$@"\n')
    os.chmod(name, 0o755)
    out = subprocess.run([CCFACTS, '--json', '--no-cache', '--cxx', 'none', '--cc', name,
                          '--cflags', '-DV=\u00e9'.encode()], capture_output=True, timeout=120)
    assert out.returncode == 0, out.stderr
    f = json.loads(out.stdout.decode('utf-8'))
    assert f['cc'] == [os.fsdecode(name)]
    assert b'\\udce9-\\udcff' in out.stdout
    assert f['cflags'] == ['-DV=\u00e9']        # UTF-8 itself passes through
