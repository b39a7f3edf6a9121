# SPDX-License-Identifier: ISC
"""ccfacts against the compilers' own word: every fact it reports agrees
with the macros the compiler predefines (-dM -E), for every compiler here."""

import os
import subprocess

import pytest

from buildlib import build_dir
from ccfacts_util import COMPILERS, PROBES, ccfacts, ccfacts_args, facts, macros

# The architecture key each target must get: its compiler defines the macro.
ARCH_KEY = {
    'gcc': '__x86_64__', 'clang': '__x86_64__', 'i686': '__i386__',
    'arm': '__ARM_ARCH_7A__', 'clang-arm': '__ARM_ARCH_7A__',
    'mipsel': None, 'mips-be': None,
}
DIALECT = {None: '90', '199409L': '90', '199901L': '99', '201112L': '11',
           '201710L': '17', '202000L': '23', '202311L': '23'}


def expected_version(m):
    if '__clang__' in m:
        return [int(m['__clang_major__']), int(m['__clang_minor__']),
                int(m['__clang_patchlevel__'])]
    return [int(m['__GNUC__']), int(m['__GNUC_MINOR__']), int(m['__GNUC_PATCHLEVEL__'])]


@pytest.mark.parametrize('name', COMPILERS)
def test_facts_agree_with_predefined_macros(name):
    cc, cxx, flags = COMPILERS[name]
    m = macros(cc, flags)
    f = facts(name)

    assert f['compiler'] == ('Clang' if '__clang__' in m else 'GNU')
    assert f['version'] == expected_version(m)
    assert f['platform'] == ('Linux' if '__linux__' in m else '')
    assert f['arch'] == ''
    assert f['dialect_default'] == DIALECT[m.get('__STDC_VERSION__')]
    assert f['sizeof_dptr'] == int(m['__SIZEOF_POINTER__'])
    assert f['abi'] == ('ELF' if '__ELF__' in m else '')
    order = {'__ORDER_LITTLE_ENDIAN__': 'little', '__ORDER_BIG_ENDIAN__': 'big'}
    assert f['byte_order'] == order[m['__BYTE_ORDER__']]
    assert f['sizeof_unsigned_short'] == int(m['__SIZEOF_SHORT__'])
    assert f['arch_key'] == ARCH_KEY[name]
    assert f['arch_key'] is None or f['arch_key'] in m
    assert f['links'] is True
    if cxx:
        mx = macros(cxx, flags, 'c++')
        assert expected_version(mx) == f['version']
        assert int(mx['__SIZEOF_POINTER__']) == f['sizeof_dptr']
        assert len(f['cxx_features']['features']) == 57
    else:
        assert f['cxx'] is None and f['cxx_features'] is None
    assert list(f['c_features']['features']) == [
        'c_function_prototypes', 'c_restrict', 'c_static_assert', 'c_variadic_macros']


def test_big_endian_compiler(tmp_path):
    f = facts('mips-be')
    assert f['byte_order'] == 'big' and f['sizeof_dptr'] == 4
    # The probe executable itself: the big-endian text reads plain, once.
    exe = tmp_path / 'endian-probe'
    subprocess.run(['mips-linux-gnu-gcc', os.path.join(PROBES, 'endian-probe.c'),
                    '-o', str(exe)], check=True)
    data = exe.read_bytes()
    assert data.count(b'THIS IS BIG ENDIAN..') == 1
    assert b'THIS IS LITTLE ENDIAN.' not in data


def test_table_reports_the_json_facts_and_serial_build_agrees():
    """The readable table carries the same facts, and building one probe at
    a time reads the same as building them all at once."""
    args = ccfacts_args('arm', 'c99', 'c++11')
    f = facts('arm', 'c99', 'c++11')
    serial = ccfacts('--json', '--jobs', '1', *args)
    assert serial.returncode == 0 and serial.stdout.replace(' ', '') == \
        ccfacts('--json', *args).stdout.replace(' ', '')
    out = ccfacts(*args)
    assert out.returncode == 0, out.stderr
    # "%-24s %s": the label, padded, and the value from column 25 on.
    table = {line[:24].strip(): line[25:] for line in out.stdout.splitlines()
             if len(line) > 25 and line[0] != ' ' and not line.endswith(':')}
    assert table['compiler'] == f['compiler']
    assert table['version'] == '.'.join(map(str, f['version']))
    assert table['data pointer'] == '4 bytes'
    assert table['byte order'] == 'little-endian'
    assert table['architecture key'] == '__ARM_ARCH_7A__'
    assert table['default C dialect'] == f['dialect_default']
    c_line = out.stdout.split('C features (-std=c99):\n')[1].splitlines()[0].split()
    assert c_line == [n for n, on in f['c_features']['features'].items() if on]
    cxx = out.stdout.split('C++ features (-std=c++11):\n')[1]
    names = []
    for line in cxx.splitlines():
        if line.startswith('  ('):
            break
        names += line.split()
    assert names == [n for n, on in f['cxx_features']['features'].items() if on]


def test_installed_ccfacts_uses_its_installed_probes(tmp_path):
    dest = tmp_path / 'dest'
    subprocess.run(['meson', 'install', '-C', build_dir('host'), '--no-rebuild', '--quiet',
                    '--tags', 'ccfacts,man', '--destdir', str(dest)],
                   check=True, capture_output=True)
    exes = list(dest.rglob('bin/ccfacts'))
    assert len(exes) == 1
    prefix = exes[0].parent.parent
    assert (prefix / 'share/man/man1/ccfacts.1').is_file()
    probes = prefix / 'share/ccfacts/probes'
    # every probe file, the build's own files (the list of them) aside
    assert sorted(os.listdir(probes)) == sorted(p for p in os.listdir(PROBES)
                                                if p not in ('meson.build', 'sources'))
    env = {k: v for k, v in os.environ.items() if k not in ('CC', 'CXX', 'CCFACTS_PROBES')}
    env['TMPDIR'] = str(tmp_path)
    out = subprocess.run([str(exes[0]), '--json', '--cc', 'gcc', '--cxx', 'g++'],
                         capture_output=True, text=True, env=env, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert f'"probes": "{probes}"' in out.stdout
    # Its private working directory is gone afterwards.
    assert not [p for p in os.listdir(tmp_path) if p.startswith('ccfacts.')]
