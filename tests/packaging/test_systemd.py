# SPDX-License-Identifier: ISC
"""bcastd.socket under a real systemd (tests/packaging/container.py): the
amd64 bcast and bcastd packages installed into a fresh Debian 12, the
socket enabled, the system booted.  Logins as login(1) leaves them: a
terminal of the user alice, alice:tty 0620, and one where she said mesg
n (0600).  What is judged: a broadcast reaches her terminal through the
distribution's own wall and not the other, the daemon's identity, a flood
of calls that leaves the service listening and mapped, and a journal
without complaints about the unit."""

import glob
import os
import re
import time

import pytest

from buildlib import ROOT
from container import Container

DEB = os.path.join(ROOT, 'build', 'deb')
DEBS = sorted(glob.glob(os.path.join(DEB, 'bcast_*_amd64.deb')) +
              glob.glob(os.path.join(DEB, 'bcastd_*_amd64.deb')))
TTY_GID = 5         # Debian's group tty, fixed by base-passwd
NOBODY = 65534

pytestmark = pytest.mark.skipif(len(DEBS) != 2, reason='no packages in build/deb: make deb')

UTMP = ('[7] [%05d] [%-4s] [%-32s] [%-32s] [%-256s] [%-15s] [%s]\n')


def login(box, name, mesg):
    """A login of alice on a new pseudo-terminal, its output kept in
    /tmp/NAME.ts; returns the terminal's name under /dev."""
    box.background("runuser -u alice -- script -q -f -c 'mesg %s; tty > /tmp/%s.tty; "
                   "exec sleep 3600' /tmp/%s.ts" % (mesg, name, name))
    end = time.monotonic() + 30
    while time.monotonic() < end:
        tty = box.inside('cat', '/tmp/%s.tty' % name).stdout.strip()
        if tty.startswith('/dev/pts/'):
            return tty
        time.sleep(0.2)
    raise RuntimeError('no login terminal')


def shown(box, name):
    return box.inside('cat', '/tmp/%s.ts' % name).stdout.replace('\r', '')


def wait_for(box, name, text, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if text in shown(box, name):
            return True
        time.sleep(0.2)
    return False


def status_ids(box, pid):
    out = box.inside('cat', '/proc/%s/status' % pid).stdout
    return {k: v.split() for k, _, v in (l.partition(':') for l in out.splitlines())
            if k in ('Uid', 'Gid', 'Groups')}


@pytest.fixture(scope='module')
def seen():
    box = Container(os.path.join(ROOT, 'build'), DEBS,
                    setup='useradd -m alice && systemctl enable bcastd.socket')
    seen = {}
    try:
        seen['state'] = box.start()
        terminals = {'no': login(box, 'no', 'n'), 'yes': login(box, 'yes', 'y')}
        seen['modes'] = {k: box.inside('stat', '-c', '%a %U %G', t).stdout.split()
                         for k, t in terminals.items()}
        stamp = time.strftime('%Y-%m-%dT%H:%M:%S,000000+00:00', time.gmtime())
        # the refusing login first, so that wall has passed it by the time
        # the other shows the message
        utmp = ''.join(UTMP % (100 + i, t[5:][-4:], 'alice', t[5:], '', '0.0.0.0', stamp)
                       for i, t in enumerate((terminals['no'], terminals['yes'])))
        box.sh('utmpdump -r > /run/utmp 2>/dev/null', input=utmp)
        seen['mapped'] = box.inside('rpcinfo', '-p').stdout

        p = box.inside('bcast', 'localhost', input='first through the socket unit\n')
        seen['first'] = (p.returncode, p.stdout, p.stderr)
        seen['first_shown'] = wait_for(box, 'yes', 'first through the socket unit')
        p = box.inside('bcast', '::1', input='then over IPv6\n')
        seen['ipv6'] = (p.returncode, p.stdout, p.stderr)
        seen['ipv6_shown'] = wait_for(box, 'yes', 'then over IPv6')
        seen['mapped6'] = box.inside('rpcinfo', '-T', 'udp6', '::1', '100008', '1').stdout

        # A call for another version is answered by the RPC layer and keeps
        # the daemon waiting: time to read what it runs as.
        box.inside('rpcinfo', '-n', '1033', '-u', '127.0.0.1', '100008', '2')
        pid = box.inside('systemctl', 'show', '-P', 'MainPID', 'bcastd.service').stdout.strip()
        seen['identity'] = status_ids(box, pid) if pid not in ('', '0') else None
        box.inside('rpcinfo', '-n', '1033', '-u', '127.0.0.1', '100008', '1')

        # 200 calls in 2 seconds from one host
        flood = box.sh('for i in $(seq 200); do '
                       '(timeout 20 rpcinfo -n 1033 -u 127.0.0.1 100008 1 >/dev/null 2>&1 '
                       '&& echo ok) & sleep 0.01; done; wait', timeout=120)
        seen['flood_answered'] = flood.stdout.split().count('ok')
        seen['socket_after_flood'] = box.inside('systemctl', 'is-active', 'bcastd.socket').stdout.strip()
        seen['mapped_after_flood'] = box.inside('rpcinfo', '-p').stdout
        p = box.inside('bcast', 'localhost', input='second after the flood\n')
        seen['second'] = (p.returncode, p.stdout, p.stderr)
        seen['second_shown'] = wait_for(box, 'yes', 'second after the flood')
        seen['shown'] = shown(box, 'yes')
        seen['refused'] = shown(box, 'no')
        seen['journal'] = box.inside('journalctl', '--no-pager', '-o', 'cat', '-u', 'bcastd.service',
                                     '-u', 'bcastd.socket').stdout
        seen['manager'] = box.inside('journalctl', '--no-pager', '-o', 'cat', '_PID=1').stdout
        yield seen
    finally:
        box.close()


def test_login_terminals_are_as_login_leaves_them(seen):
    assert seen['state'] == 'running'
    assert seen['modes'] == {'yes': ['620', 'alice', 'tty'], 'no': ['600', 'alice', 'tty']}
    assert re.search(r'100008\s+1\s+udp\s+1033', seen['mapped']), seen['mapped']


def test_broadcast_reaches_the_login_through_the_socket_unit(seen):
    assert seen['first'] == (0, '', '')
    assert seen['first_shown'], seen['shown']
    text = seen['shown']
    assert re.search(r'Broadcast message from nobody@\S+ \(somewhere\)', text), text
    assert re.search(r'\a\aRemote Broadcast Message from root@\S+ *\n', text), text
    assert seen['ipv6'] == (0, '', '') and seen['ipv6_shown'], seen['mapped6']
    assert 'ready and waiting' in seen['mapped6']
    assert 'first through the socket unit' not in seen['refused']
    assert 'Broadcast' not in seen['refused'], seen['refused']


def test_daemon_runs_as_nobody_with_the_terminal_group(seen):
    assert seen['identity'] == {'Uid': [str(NOBODY)] * 4, 'Gid': [str(NOBODY)] * 4,
                                'Groups': [str(TTY_GID)]}


def test_a_flood_leaves_the_service_listening(seen):
    """Without a start or trigger limit the calls are served in turn (one
    start of the sandboxed service each, as many as the machine manages
    before the callers give up) and the socket stays up with its mapping;
    the next broadcast lands."""
    assert seen['flood_answered'] > 0
    assert seen['socket_after_flood'] == 'active'
    assert re.search(r'100008\s+1\s+udp\s+1033', seen['mapped_after_flood'])
    assert seen['second'] == (0, '', '')
    assert seen['second_shown'], seen['shown']


def test_the_journal_has_no_complaint_about_the_unit(seen):
    log = seen['journal'] + seen['manager']
    assert 'Deactivated successfully' in seen['journal']
    for complaint in ('left-over process', 'start-limit', 'Start request repeated',
                      'trigger-limit', 'Failed with result', 'nobanner'):
        assert complaint not in log, [l for l in log.splitlines() if complaint in l]
