# SPDX-License-Identifier: ISC
"""What ccfacts does when a compiler or an executable lets it down: one line
naming the probe and the fault, exit status 1, and no report on stdout."""

import os
import shutil
import subprocess

import pytest

from ccfacts_util import CCFACTS, PROBES, ccfacts


def failure(*args):
    out = ccfacts(*args)
    assert out.returncode == 1, out.stdout
    assert out.stdout == ''
    return out.stderr.splitlines()


@pytest.fixture
def probes(tmp_path):
    """A private copy of the probe sources, to be spoilt one at a time."""
    dest = tmp_path / 'probes'
    shutil.copytree(PROBES, dest)

    def spoil(name, old, new):
        path = dest / name
        text = path.read_text()
        assert old in text
        path.write_text(text.replace(old, new))
        return str(dest)
    return spoil


def test_compiler_not_found():
    lines = failure('--cc', '/nonexistent/cc', '--cxx', 'g++')
    assert lines == ['ccfacts: link-probe: compiler not found: /nonexistent/cc']
    lines = failure('--cc', 'gcc', '--cxx', 'no-such-c++-compiler')
    assert lines == ['ccfacts: abi-probe-cxx: compiler not found: no-such-c++-compiler']


def test_compile_and_link_failures_show_the_compilers_message(probes):
    lines = failure('--cc', 'gcc', '--cxx', 'none', '--cflags', '-lccfacts-no-such-lib')
    assert lines[0].startswith('ccfacts: link-probe: does not compile or link with gcc (status 1): ')
    assert 'cannot find -lccfacts-no-such-lib' in lines[0]
    assert any('ld returned 1 exit status' in line for line in lines[1:])

    dir = probes('feature-probe-cxx.cpp', 'const char features[] =', 'const char features[] = +')
    lines = failure('--probes', dir, '--cc', 'gcc', '--cxx', 'g++')
    assert lines[0].startswith('ccfacts: feature-probe-cxx: does not compile or link with g++')
    assert 'error' in lines[0] and 'feature-probe-cxx.cpp' in lines[0]

    # A dialect the compiler does not know is the feature probe's failure.
    lines = failure('--cc', 'gcc', '--cxx', 'none', '--std-c', 'c77')
    assert lines[0].startswith('ccfacts: feature-probe-c: does not compile or link with gcc')
    assert '-std=c77' in lines[0]


@pytest.mark.parametrize('source, old, new, message', [
    ('ccid-probe.c', '#define PLATFORM_TEXT "INFO:platform[" PLATFORM_ID "]"',
     '#define PLATFORM_TEXT "platform " PLATFORM_ID',
     'ccfacts: ccid-probe: string INFO:platform is missing'),
    ('typesize-probe.c', 'char info_size[] = {', 'char twice[] = "INFO:size[00002]";\nchar info_size[] = {',
     'ccfacts: typesize-probe: string INFO:size appears more than once'),
    ('abi-probe.h', 'DPTR_DIGIT(10)', "'x'",
     'ccfacts: abi-probe-c: malformed string INFO:sizeof_dptr: "x8" is not 2 digits'),
    ('ccid-probe.c', '"INFO:arch[" ARCH_ID "]"', '"INFO:arch[" ARCH_ID',
     'ccfacts: ccid-probe: malformed string INFO:arch'),
    ('ccid-probe.c', '"INFO:platform["', '"INFO:Platform["',
     'ccfacts: ccid-probe: malformed information string at offset'),
    ('endian-probe.c', '0x4854, 0x5349', '0x4855, 0x5349',
     'ccfacts: endian-probe: neither byte-order text is present'),
    ('endian-probe.c', '#define COUNT', 'const char both[] = "THIS IS BIG ENDIAN..";\n#define COUNT',
     'ccfacts: endian-probe: both byte-order texts are present'),
    ('feature-probe-c.c', '"c_restrict\\n"', '"c restrict\\n"',
     'ccfacts: feature-probe-c: malformed C_FEATURE: line: "C_FEATURE:0c restrict"'),
    ('feature-probe-c.c', '"c_static_assert\\n"', '"c_restrict\\n"',
     'ccfacts: feature-probe-c: feature c_restrict appears more than once'),
    ('link-probe.c', 'int\nmain', 'const char *s = "INFO:x[y]";\nint\nmain',
     'ccfacts: link-probe: unexpected string INFO:x'),
])
def test_spoilt_executables_are_refused(probes, source, old, new, message):
    dir = probes(source, old, new)
    lines = failure('--probes', dir, '--cc', 'gcc', '--cxx', 'none', '--std-c', 'c90')
    assert len(lines) == 1 and lines[0].startswith(message), lines


def test_usage_errors():
    for args, first in ((['--no-such-option'], 'ccfacts: unknown option --no-such-option'),
                        (['--cc'], 'ccfacts: --cc needs an argument'),
                        (['operand'], 'usage: ccfacts'),
                        (['--jobs', '0'], 'ccfacts: --jobs: not a job count: 0')):
        out = ccfacts(*args)
        assert out.returncode == 2 and out.stdout == '', args
        assert out.stderr.startswith(first), out.stderr
    out = ccfacts('--probes', os.devnull)
    assert out.returncode == 1
    assert out.stderr.startswith('ccfacts: no probe sources in /dev/null')


@pytest.mark.skipif(os.geteuid() != 0, reason='needs root for a private mount')
def test_a_full_tmpdir_is_named_as_the_reason(tmp_path):
    """The compiler's messages go to the full file system too: the reason
    must not be left empty."""
    full = tmp_path / 'full'
    full.mkdir()
    p = subprocess.run(['unshare', '--mount', '--propagation', 'private', 'sh', '-c',
                        f'mount -t tmpfs -o size=256k full {full} && '
                        f'dd if=/dev/zero of={full}/fill bs=4k 2>/dev/null; '
                        f'TMPDIR={full} exec {CCFACTS} --no-cache --cc gcc --cxx none'],
                       capture_output=True, text=True, timeout=120)
    assert p.returncode == 1
    assert p.stderr == (f'ccfacts: link-probe: does not compile or link with gcc (status 1): '
                        f'no space left in {full} (TMPDIR), where its output and messages go\n')
