# SPDX-License-Identifier: ISC
"""The probe executables, read as bytes: every information string once and
whole, the values the compiler at hand must give; and, run, a status that is
the read of every string, inside its bounds for any argument count."""

import os
import re
import subprocess

import pytest

from buildlib import build_dir, run, targets_of
from probe_sources import probe_sources

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


# The strings each probe's main reads, as they lie in its image: a prefix
# that starts the string (or its whole text) and the element width.
CCID_STRINGS = [(b'INFO:compiler[', 1), (b'INFO:platform[', 1), (b'INFO:arch[', 1),
                (b'INFO:compiler_version[', 1)]
ABI_STRINGS = [(b'INFO:sizeof_dptr[', 1), (b'INFO:abi[', 1)]
READS = {
    'ccid-probe-O0': CCID_STRINGS + [(b'INFO:dialect_default[', 1)],
    'ccid-probe-O2g': CCID_STRINGS + [(b'INFO:dialect_default[', 1)],
    'ccid-probe-reduced': CCID_STRINGS,
    'abi-probe-c-O0': ABI_STRINGS, 'abi-probe-c-O2g': ABI_STRINGS,
    'abi-probe-cxx-O0': ABI_STRINGS, 'abi-probe-cxx-O2g': ABI_STRINGS,
    'abi-probe-cxx-asneeded': ABI_STRINGS,
    'feature-probe-c-c90': [(b'\nC_FEATURE:', 1)],
    'feature-probe-cxx-O0': [(b'\nCXX_FEATURE:', 1)],
    'feature-probe-cxx-cxx98': [(b'\nCXX_FEATURE:', 1)],
    'endian-probe': [(b'THIS IS LITTLE ENDIAN.', 2), (b'HTSII  SIB GNEIDNA..', 2)],
    'typesize-probe': [(b'INFO:size[', 1)],
    'link-probe': [],
}


def elements(data, prefix, width):
    """The elements of the array that starts with PREFIX, its terminator
    included (two NUL bytes end a 16-bit array), as the target reads them."""
    start = end = data.index(prefix)
    while data[end:end + width] != b'\0' * width:
        end += width
    raw = data[start:end + width]
    return [int.from_bytes(raw[i:i + width], 'little') for i in range(0, len(raw), width)]


@pytest.mark.parametrize('target', TARGETS)
@pytest.mark.parametrize('probe', READS)
def test_exit_status_is_the_read_of_every_string(target, probe):
    # main adds the element at index argc of each of its strings, the only
    # thing a run of a probe shows: a string left out of the read, read at
    # another index or with another width changes the status
    data = image(target, probe)
    arrays = [elements(data, prefix, width) for prefix, width in READS[probe]]
    program = os.path.join(build_dir(target), 'probes', probe)
    for argc in (1, 4, 10):
        want = sum(a[argc] for a in arrays) % 256
        got = run(target, program, *['x'] * (argc - 1)).returncode
        assert got == want, f'{probe} with argc {argc}'


SOURCES = probe_sources()
# the image of each source that the strings are compared with
IMAGES = {'ccid-probe.c': 'ccid-probe-O2g', 'abi-probe-c.c': 'abi-probe-c-O2g',
          'abi-probe-cxx.cpp': 'abi-probe-cxx-O2g', 'feature-probe-c.c': 'feature-probe-c-c90',
          'feature-probe-cxx.cpp': 'feature-probe-cxx-cxx98', 'endian-probe.c': 'endian-probe',
          'typesize-probe.c': 'typesize-probe', 'link-probe.c': 'link-probe'}


def compile_probe(compiler, source, flags, root, out):
    cxx = source.endswith('.cpp')
    driver = {'gcc': 'g++', 'clang': 'clang++'}[compiler] if cxx else compiler
    dialect = '-std=c++98' if cxx else '-std=c90'
    result = subprocess.run(
        [driver, dialect, '-pedantic-errors', '-Wall', '-Wextra', '-Werror', *flags,
         os.path.join(root, 'probes', source), '-o', str(out)],
        capture_output=True, text=True)
    assert result.returncode == 0, f'{driver} {source}: {result.stderr}'
    return out


@pytest.mark.parametrize('source', SOURCES)
def test_no_argument_count_reads_outside_a_string(source, root, tmp_path):
    # A build system may start a probe with any arguments: with as many as
    # a string has elements, or more, the read must stay inside every array.
    # The sanitizers stop the probe at the first read outside one.
    program = compile_probe('gcc', source, ['-O1', '-fsanitize=address,undefined',
                                            '-fno-sanitize-recover=all'], root, tmp_path / 'probe')
    lengths = [len(elements(image('host', IMAGES[source]), prefix, width))
               for prefix, width in READS[IMAGES[source]]]
    for argc in sorted({n + d for n in lengths + [1] for d in (-1, 0, 1)} | {2 * max(lengths + [1]) + 1}):
        out = subprocess.run([str(program), *['x'] * (argc - 1)], capture_output=True, timeout=60)
        assert out.stderr == b'' and out.returncode >= 0, f'argc {argc}: {out.stderr[:300]}'


@pytest.mark.parametrize('compiler', ['gcc', 'clang'])
def test_strings_survive_dead_data_removal(compiler, root, tmp_path):
    # Link-time optimisation and the linker's removal of unreferenced
    # sections drop any string that main does not read, or part of one.
    flags = ['-O2', '-flto', '-ffunction-sections', '-fdata-sections', '-Wl,--gc-sections']
    if compiler == 'clang':
        flags.append('-fuse-ld=lld')
    for source in SOURCES:
        with open(compile_probe(compiler, source, flags, root, tmp_path / 'probe'), 'rb') as f:
            data = f.read()
        want = image('host', IMAGES[source])
        for prefix, width in READS[IMAGES[source]]:
            got = elements(data, prefix, width)
            if prefix in (b'INFO:compiler[', b'INFO:compiler_version[', b'INFO:dialect_default['):
                # the compiler's own name, version and dialect: whole, once
                assert data.count(prefix) == 1 and bytes(got[-2:]) == b']\0', f'{source}: {prefix!r}'
            elif b'FEATURE:' in prefix:
                # another compiler may support other features: the same
                # lines, each whole, whatever its digit
                digits = str.maketrans('1', '0')
                assert (bytes(got).decode().translate(digits)
                        == bytes(elements(want, prefix, width)).decode().translate(digits)), source
            else:
                assert got == elements(want, prefix, width), f'{source}: {prefix!r}'


@pytest.mark.parametrize('compiler', ['gcc', 'clang'])
@pytest.mark.parametrize('optimisation', [['-O0'], ['-O2', '-g']])
def test_sources_are_clean_in_the_old_dialects(compiler, optimisation, root, tmp_path):
    for source in SOURCES:
        compile_probe(compiler, source, optimisation, root, tmp_path / 'probe')
