# SPDX-License-Identifier: ISC
"""libkerb gives the same bits on every target: w, the two counters and the
array calls on every point of the reference tables, and the profile, as a
digest per table from each build, held against the host build's."""

import os

import pytest

from buildlib import build_dir, run, targets_of

W_TABLES = ['w.bin', 'boxes.bin', 'hostile.bin']
V_TABLES = ['voigt.bin', 'lines.bin']


def digests(target):
    here = os.path.join(build_dir(target), 'tests', 'kerb')
    program = os.path.join(here, 'kerb-digest')
    if not os.path.exists(program):
        pytest.skip(f'{target}: kerb-digest not built')
    lines = []
    for kind, tables in (('w', W_TABLES), ('v', V_TABLES)):
        out = run(target, program, kind, *(os.path.join(here, t) for t in tables), timeout=900)
        assert out.returncode == 0, out.stderr
        lines += out.stdout.decode().splitlines()
    return lines


@pytest.fixture(scope='module')
def host_digests():
    return digests('host')


@pytest.mark.parametrize('target', [t for t in targets_of('kerb') if t != 'host'])
def test_same_bits_as_the_host(target, host_digests):
    got = digests(target)
    assert len(got) == len(W_TABLES) + len(V_TABLES)
    assert got == host_digests
