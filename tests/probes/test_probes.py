# SPDX-License-Identifier: ISC
"""The probe executables, read as bytes: every information string once and
whole, the values the compiler at hand must give, and the exit statuses."""

import os
import re
import subprocess

import pytest

from buildlib import build_dir, run, targets_of

TARGETS = targets_of('probes')
CC = {'host': 'gcc', 'mips': 'mipsel-linux-gnu-gcc', 'arm': 'arm-linux-gnueabihf-gcc'}
CXX = {'host': 'g++', 'mips': 'mipsel-linux-gnu-g++', 'arm': 'arm-linux-gnueabihf-g++'}
DPTR = {'host': b'08', 'mips': b'04', 'arm': b'04'}
KEY = {'host': b' key[__x86_64__]', 'mips': b'', 'arm': b' key[__ARM_ARCH_7A__]'}

CCID = ['ccid-probe-O0', 'ccid-probe-O2g']
ABI = ['abi-probe-c-O0', 'abi-probe-c-O2g', 'abi-probe-cxx-O0', 'abi-probe-cxx-O2g',
       'abi-probe-cxx-asneeded']
C90_LIST = (b'\nC_FEATURE:1c_function_prototypes\nC_FEATURE:0c_restrict\n'
            b'C_FEATURE:0c_static_assert\nC_FEATURE:0c_variadic_macros\n')


def image(target, probe):
    with open(os.path.join(build_dir(target), 'probes', probe), 'rb') as f:
        return f.read()


def only_string(data, prefix):
    """The one NUL-terminated string that starts with PREFIX (without NUL)."""
    assert data.count(prefix) == 1, f'{prefix!r} occurs {data.count(prefix)} times'
    start = data.index(prefix)
    return data[start:data.index(b'\0', start)]


def macros(compiler, *flags):
    out = subprocess.run([compiler, *flags, '-dM', '-E', '-x', 'c', '/dev/null'],
                         capture_output=True, check=True, text=True).stdout
    return dict(re.findall(r'#define (\w+) (.*)', out))


def version_field(compiler):
    full = subprocess.run([compiler, '-dumpfullversion'], capture_output=True,
                          check=True, text=True).stdout.strip()
    parts = (full.split('.') + ['0', '0'])[:3]
    return '.'.join(f'{int(p):08d}' for p in parts).encode()


def default_dialect(compiler):
    std = macros(compiler).get('__STDC_VERSION__', '199409L').rstrip('L')
    return {'199409': b'90', '199901': b'99', '201112': b'11', '201710': b'17'}.get(std, b'23')


@pytest.mark.parametrize('target', TARGETS)
@pytest.mark.parametrize('probe', CCID + ['ccid-probe-reduced'])
def test_compiler_identity(target, probe):
    data = image(target, probe)
    assert only_string(data, b'INFO:compiler[') == b'INFO:compiler[GNU]'
    version = only_string(data, b'INFO:compiler_version[')
    assert version == b'INFO:compiler_version[' + version_field(CC[target]) + b']'
    assert len(version) + 1 == 50
    assert only_string(data, b'INFO:platform[') == b'INFO:platform[Linux]'
    assert only_string(data, b'INFO:arch[') == b'INFO:arch[]'
    if probe == 'ccid-probe-reduced':
        assert b'INFO:dialect_default[' not in data
    else:
        dialect = only_string(data, b'INFO:dialect_default[')
        assert dialect == b'INFO:dialect_default[' + default_dialect(CC[target]) + b']'


@pytest.mark.parametrize('target', TARGETS)
def test_pointer_size_and_abi(target):
    strings = set()
    for probe in ABI:
        data = image(target, probe)
        dptr = only_string(data, b'INFO:sizeof_dptr[')
        abi = only_string(data, b'INFO:abi[')
        assert dptr == b'INFO:sizeof_dptr[' + DPTR[target] + b']'
        assert abi == b'INFO:abi[ELF]'
        strings.add((dptr, abi))
    # The C and the C++ probes carry the very same bytes.
    assert len(strings) == 1


def needed(target, probe):
    out = subprocess.run(['readelf', '-d', os.path.join(build_dir(target), 'probes', probe)],
                         capture_output=True, check=True, text=True).stdout
    return re.findall(r'\(NEEDED\)\s+Shared library: \[(.*?)\]', out)


@pytest.mark.parametrize('target', TARGETS)
def test_cxx_runtime_is_recorded_except_as_needed(target):
    for probe in ['abi-probe-cxx-O0', 'abi-probe-cxx-O2g', 'feature-probe-cxx-O0',
                  'feature-probe-cxx-cxx98']:
        libs = needed(target, probe)
        assert any(lib.startswith('libstdc++') for lib in libs), (probe, libs)
    libs = needed(target, 'abi-probe-cxx-asneeded')
    assert libs and all(lib.startswith(('libc.', 'ld-')) for lib in libs), libs
    assert not any(lib.startswith('libstdc++') for lib in needed(target, 'abi-probe-c-O0'))


def feature_list(data, prefix):
    start = data.index(b'\n' + prefix)
    text = data[start:data.index(b'\0', start)]
    assert data.count(text) == 1 and data.count(b'\0' + prefix) == 0
    lines = text[1:].split(b'\n')
    assert lines[-1] == b'', 'the list ends with a newline'
    for line in lines[:-1]:
        assert re.fullmatch(re.escape(prefix) + rb'[01][a-z0-9_]+', line), line
    return text, [(line[len(prefix):len(prefix) + 1], line[len(prefix) + 1:]) for line in lines[:-1]]


@pytest.mark.parametrize('target', TARGETS)
def test_c_feature_list_under_c90(target):
    text, features = feature_list(image(target, 'feature-probe-c-c90'), b'C_FEATURE:')
    assert text == C90_LIST
    assert len(text) + 1 == 113


@pytest.mark.parametrize('target', TARGETS)
def test_cxx_feature_lists(target):
    text98, f98 = feature_list(image(target, 'feature-probe-cxx-cxx98'), b'CXX_FEATURE:')
    assert len(text98) + 1 == 2006
    assert [name for digit, name in f98 if digit == b'1'] == [b'cxx_template_template_parameters']
    assert [name for _, name in f98][47] == b'cxx_template_template_parameters'
    # Without a dialect option the compiler's default (C++17 for this GCC)
    # supports every feature of the list; the names and order do not change.
    text, f = feature_list(image(target, 'feature-probe-cxx-O0'), b'CXX_FEATURE:')
    assert len(text) + 1 == 2006
    assert [name for _, name in f] == [name for _, name in f98]
    assert all(digit == b'1' for digit, _ in f)


@pytest.mark.parametrize('target', TARGETS)
def test_byte_order_and_type_size(target):
    data = image(target, 'endian-probe')
    assert data.count(b'THIS IS LITTLE ENDIAN.\0\0') == 1
    assert b'THIS IS BIG ENDIAN' not in data
    assert data.count(b'HTSII  SIB GNEIDNA..\0\0') == 1
    size = image(target, 'typesize-probe')
    assert only_string(size, b'INFO:size[') == b'INFO:size[00002]' + KEY[target]


@pytest.mark.parametrize('target', TARGETS)
def test_link_probe_carries_nothing(target):
    assert b'INFO:' not in image(target, 'link-probe')


EXIT = {
    'ccid-probe-O0': 134, 'ccid-probe-O2g': 134, 'ccid-probe-reduced': 56,
    'abi-probe-c-O0': 156, 'abi-probe-c-O2g': 156, 'abi-probe-cxx-O0': 156,
    'abi-probe-cxx-O2g': 156, 'abi-probe-cxx-asneeded': 156,
    'feature-probe-c-c90': 67, 'feature-probe-cxx-O0': 67, 'feature-probe-cxx-cxx98': 67,
    'endian-probe': 156, 'typesize-probe': 78, 'link-probe': 0,
}


@pytest.mark.parametrize('target', TARGETS)
def test_exit_status_without_arguments(target):
    statuses = {p: run(target, os.path.join(build_dir(target), 'probes', p)).returncode
                for p in EXIT}
    assert statuses == EXIT


@pytest.mark.parametrize('target', TARGETS)
def test_index_stays_in_bounds_with_many_arguments(target):
    # With argc as large as the longest list the read wraps around to the
    # list's first element, the newline, instead of running off its end.
    args = ['x'] * 2005
    probe = os.path.join(build_dir(target), 'probes', 'feature-probe-cxx-cxx98')
    assert run(target, probe, *args).returncode == ord('\n')


SOURCES = ['ccid-probe.c', 'abi-probe-c.c', 'abi-probe-cxx.cpp', 'feature-probe-c.c',
           'feature-probe-cxx.cpp', 'endian-probe.c', 'typesize-probe.c', 'link-probe.c']


@pytest.mark.parametrize('compiler', ['gcc', 'clang'])
@pytest.mark.parametrize('optimisation', [['-O0'], ['-O2', '-g']])
def test_sources_are_clean_in_the_old_dialects(compiler, optimisation, root, tmp_path):
    for source in SOURCES:
        cxx = source.endswith('.cpp')
        driver = {'gcc': 'g++', 'clang': 'clang++'}[compiler] if cxx else compiler
        dialect = '-std=c++98' if cxx else '-std=c90'
        result = subprocess.run(
            [driver, dialect, '-pedantic-errors', '-Wall', '-Wextra', '-Werror', *optimisation,
             os.path.join(root, 'probes', source), '-o', str(tmp_path / 'probe')],
            capture_output=True, text=True)
        assert result.returncode == 0, f'{driver} {source}: {result.stderr}'
