# SPDX-License-Identifier: ISC
"""The facts cache: a hit says byte for byte what the compilers said, any
change to what the answer depends on misses, and a cache that is damaged,
unwritable or shared by concurrent runs never costs a correct answer.
Whether the compilers ran is counted by wrapper compilers that log each
run."""

import json
import os
import re
import shutil
import subprocess

import pytest

from ccfacts_util import CCFACTS, PROBES, ccfacts


def script(path, body):
    path.write_text('#!/bin/sh\n' + body)
    path.chmod(0o755)
    return path


class Toolchain:
    """gcc and g++ behind wrappers that count their runs, and a private
    cache.  Without C++ (its probes are the slow ones) where C suffices."""

    def __init__(self, tmp_path, with_cxx=True):
        self.dir = tmp_path
        self.log = tmp_path / 'runs'
        self.cache = tmp_path / 'cache'
        (tmp_path / 'bin').mkdir()
        self.cc = self.wrapper('cc-wrapper', 'gcc')
        self.cxx = self.wrapper('cxx-wrapper', 'g++') if with_cxx else 'none'
        self.probes = 8 if with_cxx else 6

    def wrapper(self, name, real):
        return script(self.dir / 'bin' / name, f'echo "$0" >> {self.log}\nexec {real} "$@"\n')

    def runs(self):
        return len(self.log.read_text().splitlines()) if self.log.exists() else 0

    def args(self, *more):
        return ['--cc', str(self.cc), '--cxx', str(self.cxx), '--cache-dir', str(self.cache),
                *more]

    def run(self, *more, compiles):
        """ccfacts, checking that it compiled exactly `compiles` probes."""
        before = self.runs()
        out = ccfacts(*self.args(*more))
        assert out.returncode == 0, out.stderr
        assert out.stderr == ''
        assert self.runs() - before == compiles, more
        return out.stdout

    def entries(self):
        return sorted(os.listdir(self.cache)) if self.cache.exists() else []


@pytest.fixture
def toolchain(tmp_path):
    return Toolchain(tmp_path)


@pytest.fixture
def c_toolchain(tmp_path):
    return Toolchain(tmp_path, with_cxx=False)


def fnv1a(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xffffffffffffffff
    return h


def test_a_hit_answers_as_the_cold_run_did_without_compiling(toolchain):
    for form in ([], ['--json']):
        cold = toolchain.run(*form, compiles=0 if form else 8)
        assert toolchain.run(*form, compiles=0) == cold
        assert toolchain.run('--no-cache', *form, compiles=8) == cold
    # The table and the JSON object come from the one entry; --no-cache
    # neither read nor wrote it.
    assert len(toolchain.entries()) == 1
    assert json.loads(cold)['cc'] == [str(toolchain.cc)]


def test_each_ingredient_of_the_key_alone_makes_a_miss(toolchain, tmp_path):
    toolchain.run(compiles=8)
    probes = tmp_path / 'probes'
    shutil.copytree(PROBES, probes)
    # The same sources elsewhere are the same probes.
    toolchain.run('--probes', str(probes), compiles=0)

    stat = toolchain.cc.stat()
    os.utime(toolchain.cc, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1000))
    # The C compiler touched, then each option alone.
    for more in ([], ['--cflags', '-DCCFACTS_TEST'], ['--std-c', 'c99'],
                 ['--std-cxx', 'c++11']):
        toolchain.run(*more, compiles=8)
        toolchain.run(*more, compiles=0)

    with open(probes / 'abi-probe.h', 'a') as header:
        header.write('/* edited */\n')
    toolchain.run('--probes', str(probes), compiles=8)
    toolchain.run('--probes', str(probes), compiles=0)

    # Another C++ compiler, or none, is another toolchain.
    out = ccfacts('--json', '--cc', str(toolchain.cc), '--cxx', 'none',
                  '--cache-dir', str(toolchain.cache))
    assert json.loads(out.stdout)['cxx'] is None
    assert len(toolchain.entries()) == 7


def test_a_reinstalled_compiler_is_not_answered_from_the_old_entry(tmp_path):
    """A new file of the old size and time under the old name: only its
    inode tells it apart, and that is enough."""
    cc = tmp_path / 'cc'
    bodies = ['exec gcc "$@"\n', 'exec i686-linux-gnu-gcc "$@"\n']
    width = max(map(len, bodies))
    args = ['--json', '--cc', str(cc), '--cxx', 'none', '--cache-dir', str(tmp_path / 'cache')]

    script(cc, bodies[0].ljust(width))
    first = json.loads(ccfacts(*args).stdout)
    old = cc.stat()
    script(tmp_path / 'new', bodies[1].ljust(width))
    os.rename(tmp_path / 'new', cc)
    os.utime(cc, ns=(old.st_atime_ns, old.st_mtime_ns))
    assert cc.stat().st_size == old.st_size
    second = json.loads(ccfacts(*args).stdout)
    assert (first['sizeof_dptr'], second['sizeof_dptr']) == (8, 4)


def damage_payload(entry, old=b'sizeof_ushort 2\n', new=b''):
    """A well-formed entry, checksum and all, whose facts are edited: by
    default they lack a line."""
    magic, rest = entry.split(b'\n', 1)
    count, rest = rest.split(b'\n', 1)
    key, rest = rest[:int(count)], rest[int(count):]
    count, rest = rest.split(b'\n', 1)
    payload = rest[:int(count)].replace(old, new)
    body = b'%s\n%d\n%s%d\n%s' % (magic, len(key), key, len(payload), payload)
    return body + b'%016x\n' % fnv1a(body)


DAMAGE = {
    'truncated': lambda e: e[:len(e) // 2],
    'empty': lambda e: b'',
    'one byte changed': lambda e: e.replace(b'sizeof_dptr 8', b'sizeof_dptr 4'),
    'garbage': lambda e: os.urandom(len(e)),
    'foreign version': lambda e: e.replace(b'ccfacts cache 1\n', b'ccfacts cache 9\n', 1),
    'another key': lambda e: e.replace(b'std-c 0:\n', b'std-c 3:c99\n'),
    'checksummed nonsense': damage_payload,
    # Read as 8 all the same, but not as ccfacts writes it (found by fuzzing).
    'leading zero': lambda e: damage_payload(e, b'sizeof_dptr 8\n', b'sizeof_dptr 08\n'),
    'trailing bytes': lambda e: e + b'x',
}


@pytest.mark.parametrize('damage', DAMAGE)
def test_a_damaged_entry_is_ignored_and_rewritten(c_toolchain, damage):
    cold = c_toolchain.run('--json', compiles=c_toolchain.probes)
    [name] = c_toolchain.entries()
    path = c_toolchain.cache / name
    good = path.read_bytes()
    path.write_bytes(DAMAGE[damage](good))
    assert c_toolchain.run('--json', compiles=c_toolchain.probes) == cold
    assert path.read_bytes() == good
    assert c_toolchain.run('--json', compiles=0) == cold


def test_an_entry_that_is_no_regular_file_is_replaced(c_toolchain):
    cold = c_toolchain.run(compiles=c_toolchain.probes)
    [name] = c_toolchain.entries()
    path = c_toolchain.cache / name
    good = path.read_bytes()
    path.unlink()
    os.mkfifo(path)
    assert c_toolchain.run(compiles=c_toolchain.probes) == cold
    assert path.read_bytes() == good


def test_an_unusable_cache_costs_only_speed(c_toolchain, tmp_path):
    expected = c_toolchain.run('--no-cache', compiles=c_toolchain.probes)
    blocker = tmp_path / 'file'
    blocker.write_text('')
    shared = tmp_path / 'shared'
    shared.mkdir()
    shared.chmod(0o777)
    for where, why in ((blocker / 'cache', 'Not a directory'),
                       (shared, 'not private to its owner')):
        for _ in range(2):
            out = ccfacts('--cc', str(c_toolchain.cc), '--cxx', str(c_toolchain.cxx),
                          '--cache-dir', str(where))
            assert out.returncode == 0 and out.stdout == expected
            assert out.stderr == f'ccfacts: cache {where}: {why}; facts not kept\n'
    # Nothing was planted in, or read from, the directory others may write.
    assert os.listdir(shared) == []


def test_concurrent_runs_agree_and_leave_one_whole_entry(toolchain):
    expected = toolchain.run('--no-cache', compiles=8)
    runs = [subprocess.Popen([CCFACTS, *toolchain.args()], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for _ in range(4)]
    for run in runs:
        stdout, stderr = run.communicate(timeout=300)
        assert (run.returncode, stdout, stderr) == (0, expected, '')
    assert len(toolchain.entries()) == 1
    assert toolchain.run(compiles=0) == expected


def test_the_cache_lies_where_xdg_says(c_toolchain, tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ('CC', 'CXX', 'XDG_CACHE_HOME')}
    args = ['--cc', str(c_toolchain.cc), '--cxx', str(c_toolchain.cxx)]
    for xdg, home, where in (('/x', tmp_path / 'h1', tmp_path / 'x/ccfacts'),
                             ('relative', tmp_path / 'h2', tmp_path / 'h2/.cache/ccfacts'),
                             (None, tmp_path / 'h3', tmp_path / 'h3/.cache/ccfacts')):
        env['HOME'] = str(home)
        if xdg is not None:
            env['XDG_CACHE_HOME'] = str(tmp_path) + xdg if xdg.startswith('/') else xdg
        out = ccfacts(*args, env=env, cwd=tmp_path)
        assert out.returncode == 0 and out.stderr == ''
        assert len(os.listdir(where)) == 1
        assert oct(where.stat().st_mode & 0o777) == '0o700'
    assert not (tmp_path / 'relative').exists()
    del env['HOME'], env['XDG_CACHE_HOME']
    out = ccfacts(*args, env=env)
    assert out.returncode == 0
    assert out.stderr == ('ccfacts: cache directory unknown (neither XDG_CACHE_HOME '
                          'nor HOME is set); facts not kept\n')


def json_facts(toolchain, *more, cwd=None, env=None):
    out = ccfacts('--json', *toolchain.args(*more), cwd=cwd, env=env)
    assert out.returncode == 0 and out.stderr == '', out.stderr
    return json.loads(out.stdout)


def test_response_files_are_keyed_by_what_they_say(c_toolchain, tmp_path):
    """@flags, relative, in two directories and edited in place; and a
    response file named inside one."""
    a, b = tmp_path / 'a', tmp_path / 'b'
    a.mkdir()
    b.mkdir()
    (a / 'flags').write_text('-std=c89\n')
    (b / 'flags').write_text('-std=c11\n')

    def dialect(where, flags='@flags'):
        return json_facts(c_toolchain, '--cflags', flags, cwd=where)['dialect_default']

    assert [dialect(a), dialect(b)] == ['90', '11']
    (a / 'flags').write_text('-std=c99\n')
    assert dialect(a) == '99'
    (a / 'outer').write_text('-O2 @inner\n')
    (a / 'inner').write_text('-std=c11\n')
    assert dialect(a, f'@{a}/outer') == '11'
    (a / 'inner').write_text('-std=c89\n')
    assert dialect(a, f'@{a}/outer') == '90'
    # Unchanged files are still answered from the cache.
    runs = c_toolchain.runs()
    assert dialect(a, f'@{a}/outer') == '90' and c_toolchain.runs() == runs


def test_relative_options_are_answered_for_the_directory_they_name(c_toolchain, tmp_path):
    """-Llib -lfoo links where lib/libfoo.a is, and nowhere else."""
    have, lack = tmp_path / 'have', tmp_path / 'lack'
    (have / 'lib').mkdir(parents=True)
    lack.mkdir()
    subprocess.run(['gcc', '-c', '-xc', '-', '-o', str(have / 'foo.o')],
                   input='int foo;\n', text=True, check=True)
    subprocess.run(['ar', 'rc', str(have / 'lib' / 'libfoo.a'), str(have / 'foo.o')], check=True)
    args = c_toolchain.args('--cflags', '-Llib -lfoo')
    out = ccfacts(*args, cwd=have)
    assert out.returncode == 0, out.stderr
    out = ccfacts(*args, cwd=lack)
    assert out.returncode == 1
    assert 'cannot find -lfoo' in out.stderr
    # Absolute options alone do not tie an entry to a directory.
    c_toolchain.run('--cflags', f'-L{have}/lib -lfoo', compiles=c_toolchain.probes)
    runs = c_toolchain.runs()
    assert ccfacts(*c_toolchain.args('--cflags', f'-L{have}/lib -lfoo'), cwd=lack).returncode == 0
    assert c_toolchain.runs() == runs


def test_what_clang_reads_from_the_environment_is_keyed(tmp_path):
    clang = Toolchain(tmp_path, with_cxx=False)
    clang.cc = clang.wrapper('clang-wrapper', 'clang')
    env = dict(os.environ)
    assert json_facts(clang, env=env)['dialect_default'] == '17'
    env['CCC_OVERRIDE_OPTIONS'] = '#+-std=c99'
    assert json_facts(clang, env=env)['dialect_default'] == '99'


def test_an_entry_too_large_to_read_back_is_not_written(tmp_path):
    """Options that make the key larger than what a lookup reads: nothing
    is written, and that is said once per run."""
    log = tmp_path / 'runs'
    cc = script(tmp_path / 'cc', f'''echo "$0" >> {log}
for a; do shift; case $a in -DPAD*) ;; *) set -- "$@" "$a";; esac; done
exec gcc "$@"
''')
    pad = []
    for k in range(11):
        pad += ['--cflags', f'-DPAD{k}=' + 'x' * 100000]
    args = ['--cc', str(cc), '--cxx', 'none', '--cache-dir', str(tmp_path / 'cache'), *pad]
    for _ in range(2):
        out = ccfacts(*args)
        assert out.returncode == 0, out.stderr
        assert re.fullmatch(r'ccfacts: cache entry of \d+ bytes too large to read back '
                            r'\(limit 1048576\); facts not kept\n', out.stderr), out.stderr
    assert len(log.read_text().splitlines()) == 12
    assert not (tmp_path / 'cache').exists()


def test_a_cache_that_cannot_be_placed_is_said_so_truly(c_toolchain, tmp_path):
    """A relative HOME is ignored, as a relative XDG_CACHE_HOME is; an
    empty --cache-dir is blamed, not the variables that are set."""
    env = {k: v for k, v in os.environ.items() if k not in ('CC', 'CXX', 'XDG_CACHE_HOME')}
    args = ['--cc', str(c_toolchain.cc), '--cxx', 'none']
    env['HOME'] = 'home'
    out = ccfacts(*args, env=env, cwd=tmp_path)
    assert out.returncode == 0
    assert out.stderr == ('ccfacts: cache directory unknown (XDG_CACHE_HOME is unset and '
                          'HOME is a relative path); facts not kept\n')
    assert not (tmp_path / 'home').exists()
    env.update(HOME=str(tmp_path / 'h'), XDG_CACHE_HOME=str(tmp_path / 'x'))
    out = ccfacts(*args, '--cache-dir', '', env=env, cwd=tmp_path)
    assert out.returncode == 0
    assert out.stderr == 'ccfacts: cache directory unknown (--cache-dir is empty); facts not kept\n'
    assert sorted(os.listdir(tmp_path)) == ['bin', 'runs']


@pytest.mark.skipif(os.geteuid() != 0, reason='needs root')
def test_root_leaves_nothing_in_another_users_home(c_toolchain, tmp_path):
    """sudo keeps HOME: root must not make a cache there that its owner
    cannot write."""
    home = tmp_path / 'alice'
    home.mkdir()
    os.chown(home, 65534, 65534)
    env = {k: v for k, v in os.environ.items() if k not in ('CC', 'CXX', 'XDG_CACHE_HOME')}
    env['HOME'] = str(home)
    out = ccfacts('--cc', str(c_toolchain.cc), '--cxx', 'none', env=env)
    assert out.returncode == 0
    assert out.stderr == (f'ccfacts: cache {home}/.cache/ccfacts: {home} belongs to another '
                          'user; facts not kept\n')
    assert os.listdir(home) == []
    # One the user made is theirs, and not used either.
    (home / '.cache' / 'ccfacts').mkdir(parents=True, mode=0o700)
    for d in (home / '.cache', home / '.cache' / 'ccfacts'):
        os.chown(d, 65534, 65534)
    out = ccfacts('--cc', str(c_toolchain.cc), '--cxx', 'none', env=env)
    assert out.returncode == 0
    assert out.stderr == (f'ccfacts: cache {home}/.cache/ccfacts: owned by another user; '
                          'facts not kept\n')
    assert os.listdir(home / '.cache' / 'ccfacts') == []
