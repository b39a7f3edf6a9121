# SPDX-License-Identifier: ISC
"""bcastd.socket and bcastd.service as the build generates them, played as
systemd plays them: the socket handed to bcastd on descriptor 0 by
systemd-socket-activate, the socket unit's own ExecStartPost and
ExecStopPost (bcastd-portmap) around it, the portmapper and the terminal
private to the test (tests/packaging/sandbox.py)."""

import json
import os
import re
import subprocess

import pytest

from buildlib import ROOT, build_dir

BUILD = build_dir('host')
SANDBOX = os.path.join(ROOT, 'tests', 'packaging', 'sandbox.py')


def sandboxed(mode):
    """What sandbox.py saw in MODE, run in private mount and network
    namespaces."""
    p = subprocess.run(['unshare', '--mount', '--net', '--propagation', 'private',
                        '/usr/bin/python3', SANDBOX, mode, BUILD],
                       capture_output=True, text=True, timeout=300)
    assert p.returncode == 0, p.stderr
    return json.loads(p.stdout)


@pytest.fixture(scope='module')
def seen():
    return sandboxed('socket')


def test_socket_start_maps_the_port_and_stop_removes_it(seen):
    assert seen['start_post']['status'] == 0, seen['start_post']
    assert seen['mapped'] == [['100008', '1', 'udp', seen['port']]]
    assert seen['stop_post']['status'] == 0, seen['stop_post']
    assert seen['mapped_after_stop'] == []


def test_bcast_reaches_the_terminal_through_the_activated_daemon(seen):
    assert seen['standard_input'] == ['socket']
    assert seen['bound']
    assert seen['bcast'] == {'status': 0, 'stdout': '', 'stderr': ''}, seen
    shown = seen['terminal'].replace('\r', '')
    assert '\a\aRemote Broadcast Message from' in shown
    assert re.search(r'the packages are in *\nsecond line', shown), shown
    assert re.search(r'Broadcast message from nobody@', shown), shown
    assert seen['refused'] == ''
    assert seen['daemon_exit'] == 0        # inetd mode: one call, then gone


def test_helper_refuses_a_port_that_is_not_a_number(seen):
    assert seen['bad_port'] == {'status': 1, 'stdout': '',
                                'stderr': 'bcastd-portmap: %sx: not a port number\n' % seen['port']}
    assert seen['mapped_after_bad_port'] == []


USAGE = 'usage: bcastd-portmap set port | unset\n'


@pytest.mark.parametrize('args,stderr', [
    ([], USAGE), (['set'], USAGE), (['unset', '1033'], USAGE), (['map', '1033'], USAGE),
    (['set', '0'], 'bcastd-portmap: 0: not a port number\n'),
    (['set', '65536'], 'bcastd-portmap: 65536: not a port number\n'),
    (['set', ''], 'bcastd-portmap: : not a port number\n'),
])
def test_helper_refuses_wrong_arguments(args, stderr):
    p = subprocess.run([os.path.join(BUILD, 'broadcast', 'bcastd-portmap'), *args],
                       capture_output=True, text=True, timeout=30)
    assert (p.returncode, p.stdout, p.stderr) == (1, '', stderr)


@pytest.fixture(scope='module')
def portmap():
    return sandboxed('portmap')


def test_helper_takes_digits_only(portmap):
    for arg, seen in portmap['not_ports'].items():
        assert seen == {'status': 1, 'stdout': '',
                        'stderr': 'bcastd-portmap: %s: not a port number\n' % arg}, arg
    assert portmap['mapped_after_not_ports'] == []
    assert portmap['set']['status'] == 0, portmap['set']
    assert portmap['mapped'] == [['100008', '1', 'udp', '1033']]


def test_helper_unset_tells_the_truth(portmap):
    """Success only when a mapping went: not when there was none, not when
    the portmapper kept it (it is root's, and nobody asked), not when no
    portmapper answers."""
    fail = {'status': 1, 'stdout': ''}
    assert portmap['unset_unmapped'] == dict(
        fail, stderr='bcastd-portmap: program 100008 version 1 is not mapped\n')
    assert portmap['unset_not_allowed'] == dict(
        fail, stderr='bcastd-portmap: the portmapper refused to remove the mapping\n')
    assert portmap['mapped_after_refusal'] == [['100008', '1', 'udp', '1033']]
    assert portmap['unset'] == {'status': 0, 'stdout': '', 'stderr': ''}
    assert portmap['mapped_after_unset'] == []
    assert portmap['unset_no_portmapper'] == dict(
        fail, stderr="bcastd-portmap: can't reach the portmapper\n")


def test_service_confinement_score():
    """systemd's own measure of the service's exposure (10 is none at all;
    the unit as first shipped scored 9.6)."""
    p = subprocess.run(['systemd-analyze', 'security', '--offline=true', '--no-pager',
                        os.path.join(BUILD, 'broadcast', 'bcastd.service')],
                       capture_output=True, text=True, timeout=60)
    m = re.search(r'Overall exposure level for bcastd.service: ([\d.]+)', p.stdout)
    assert m, p.stdout + p.stderr
    assert float(m.group(1)) <= 2.0, p.stdout
