# SPDX-License-Identifier: ISC
"""The amd64 packages installed with dpkg into an overlay of / (in private
mount and network namespaces, so the machine itself never changes) and
used there as an administrator would: bcastd started by inetd from the
inetd.conf that its postinst wrote, and by the shipped systemd units as
systemd would run them; the calculators, vexil with the fcntl module,
ccfacts with its installed probes, and a C program built with pkg-config
against libkerb-dev.  Needs the packages: `make deb` (or `make
check-packages`, which makes them and runs this folder)."""

import glob
import json
import os
import re
import subprocess

import pytest

import calcref
from buildlib import ROOT

DEB = os.path.join(ROOT, 'build', 'deb')
SANDBOX = os.path.join(ROOT, 'tests', 'packaging', 'sandbox.py')
DEBS = sorted(d for d in glob.glob(os.path.join(DEB, '*_amd64.deb')) if '-dbgsym_' not in d)
ENTRY = 'walld/1\tdgram\trpc/udp\twait\troot\t/usr/sbin/bcastd\tbcastd'

pytestmark = pytest.mark.skipif(not DEBS, reason='no packages in build/deb: make deb')


@pytest.fixture(scope='module')
def seen(tmp_path_factory):
    tmp = tmp_path_factory.mktemp('root')
    p = subprocess.run(['unshare', '--mount', '--net', '--propagation', 'private',
                        '/usr/bin/python3', SANDBOX, 'install', str(tmp), *DEBS],
                       capture_output=True, text=True, timeout=900)
    assert p.returncode == 0, p.stderr
    return json.loads(p.stdout)


def test_every_package_installs(seen):
    assert seen['dpkg_install']['status'] == 0, seen['dpkg_install']
    status = dict(line.split(' ', 1) for line in seen['status'].splitlines())
    assert set(status) == {os.path.basename(d).split('_')[0] for d in DEBS}
    assert set(status.values()) == {'install ok installed'}


def test_postinst_enables_inetd_and_leaves_units_disabled(seen):
    assert seen['inetd_conf'] == [ENTRY]
    assert seen['enabled_units'] == []
    assert seen['verify']['status'] == 0, seen['verify']


@pytest.mark.parametrize('how', ['inetd', 'systemd'])
def test_installed_daemon_reaches_the_terminal(seen, how):
    run = seen[how]
    assert run['bcast'] == {'status': 0, 'stdout': '', 'stderr': ''}, run
    shown = run['terminal'].replace('\r', '')
    assert '\a\aRemote Broadcast Message from' in shown
    assert re.search(r'the packages are in *\nsecond line', shown), shown
    assert re.search(r'Broadcast message from nobody@', shown), shown
    assert run['refused'] == ''


def test_inetd_registers_and_units_map_the_port(seen):
    assert [m[:3] for m in seen['inetd_mapped']] == [['100008', '1', 'udp']]
    assert seen['systemd']['mapped'] == [['100008', '1', 'udp', seen['systemd']['port']]]
    assert seen['systemd']['mapped_after_stop'] == []


def test_installed_programs(seen):
    calcref.check_cplxcalc_1_1(seen['cplxcalc']['stdout'])
    calcref.check_profcalc_0_1_1(seen['profcalc']['stdout'])
    assert seen['vexil'] == {'status': 0, 'stdout': '1 1\n', 'stderr': ''}
    facts = json.loads(seen['ccfacts']['stdout'])
    assert facts['compiler'] == 'GNU', facts


def test_consumer_builds_with_pkg_config(seen):
    assert seen['pkg_config']['stdout'].split() == ['-lkerb']     # all in the default paths
    assert seen['consumer_build']['status'] == 0, seen['consumer_build']
    calcref.check_consumer(seen['consumer']['stdout'])


def test_an_entry_turned_off_by_the_administrator_stays_off_on_upgrade(seen):
    assert seen['dpkg_upgrade']['status'] == 0, seen['dpkg_upgrade']
    assert seen['inetd_conf_upgraded_off'] == ['#<off># ' + ENTRY]


def test_remove_disables_reinstall_enables_and_purge_removes_the_entry(seen):
    assert seen['dpkg_remove']['status'] == 0, seen['dpkg_remove']
    assert seen['inetd_conf_removed'] == ['#<off># ' + ENTRY]
    # the removal turned it off, not the administrator: it comes back on
    assert seen['dpkg_reinstall']['status'] == 0, seen['dpkg_reinstall']
    assert seen['inetd_conf_reinstalled'] == [ENTRY]
    assert seen['dpkg_purge']['status'] == 0, seen['dpkg_purge']
    assert seen['inetd_conf_purged'] == []
    assert not seen['var_lib_purged']
