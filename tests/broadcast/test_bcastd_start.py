# SPDX-License-Identifier: ISC
"""Start-up of bcastd: its arguments, the identity it gives up root for,
and its reports when it cannot run."""

import re

import pytest

import harness
import terminals
import rpcwire as rw
from buildlib import targets_of

pytestmark = pytest.mark.parametrize('target', targets_of('bcastd'))

NOBODY = 65534
TTY = terminals.TTY_GID
USER, GROUP = 4242, 4243
AS_USER = ('setpriv', '--reuid', str(USER), '--regid', str(GROUP), '--groups', str(GROUP))
# a set-user-ID root program run by USER: real uid USER, effective and saved 0
AS_SETUID = ('setpriv', '--ruid', str(USER), '--regid', str(GROUP), '--groups', str(GROUP))
LOG_LINE = re.compile(rb"^<10>\w{3} [ \d]\d \d\d:\d\d:\d\d bcastd: can't drop root privileges$")


@pytest.fixture
def no_nobody(tmp_path):
    """Bind mounts for a host without the user nobody (a password file
    without it, looked up in files only) and without a portmapper (its
    local socket hidden under an empty /run), and the /dev/log socket that
    the daemon's complaint goes to."""
    passwd = tmp_path / 'passwd'
    lines = open('/etc/passwd').read().splitlines(True)
    passwd.write_text(''.join(l for l in lines if not l.startswith('nobody:')))
    nsswitch = tmp_path / 'nsswitch.conf'
    nsswitch.write_text('passwd: files\ngroup: files\n')
    run = tmp_path / 'run'
    run.mkdir()
    log = harness.LogSocket()
    yield [(str(passwd), '/etc/passwd'), (str(nsswitch), '/etc/nsswitch.conf'),
           (str(run), '/run'), *log.bind()], log
    log.close()


@pytest.mark.parametrize('args', [('-x',), ('-nx',), ('-n', '-n'), ('a', 'b'), ('-n', '-x'), ('',)])
def test_wrong_arguments_give_usage_first(target, args, daemons, no_nobody):
    """Usage comes before everything: even as root without a user nobody
    nothing is logged, and no portmapper is asked."""
    binds, log = no_nobody
    d = daemons(target, args=args, binds=binds, net=True)
    assert d.wait() == 1
    prog = harness.program(target, 'bcastd').encode()
    assert d.proc.stdout.read() == b'usage: %s [-n]\n' % prog
    assert d.proc.stderr.read() == b''
    assert log.records('bcastd') == []


@pytest.mark.parametrize('prefix', [(), AS_SETUID], ids=['root', 'setuid'])
def test_root_without_nobody_refuses(target, prefix, daemons, no_nobody):
    binds, log = no_nobody
    # standalone in a network of its own: had it gone on, it would have
    # reported the missing portmapper on standard error
    d = daemons(target, binds=binds, net=True, prefix=prefix, direct=True)
    assert d.wait() == 1
    assert (d.proc.stdout.read(), d.proc.stderr.read()) == (b'', b'')
    records = log.records('bcastd')
    assert len(records) == 1 and LOG_LINE.match(records[0]), records


@pytest.mark.parametrize('prefix, uid, gid, groups', [
    ((), NOBODY, NOBODY, TTY),
    (AS_SETUID, NOBODY, NOBODY, TTY),
    (AS_USER, USER, GROUP, GROUP),
], ids=['root', 'setuid', 'user'])
def test_identity_of_the_delivery(target, prefix, uid, gid, groups, daemons, capture):
    """Given up root, wall runs as nobody with the terminal group alone;
    run by a user, as that user.  In inetd mode descriptors 0 to 2 are the
    service socket: what wall writes must not go there."""
    d = daemons(target, args=(), stdin='socket', binds=[capture.bind()], prefix=prefix, direct=True)
    with d.client() as c:
        assert c.wall('who am i\n').accept_stat == rw.SUCCESS
    assert d.wait() == 0
    assert capture.wait_for(1)
    [(text, who)] = capture.runs()
    assert text == b'\a\awho am i\n'
    assert who['Uid'] == [str(uid)] * 4
    assert who['Gid'] == [str(gid)] * 4
    assert who['Groups'] == [str(groups)]
    assert who['Args'] == ['-n']
    assert who['Out'] == ['/dev/null', '/dev/null']


def test_no_portmapper(target, daemons, tmp_path):
    """Standalone in a private network, with the portmapper's local socket
    hidden: the registration fails.  With -n the report reaches the
    standard error the daemon was started with; detached, it is lost and
    the detached process ends."""
    bound = [(str(tmp_path), '/run')]
    d = daemons(target, args=('-n',), binds=bound, net=True)
    assert d.wait() == 1
    assert d.proc.stderr.read() == b'unable to register (WALLPROG, WALLVERS, udp).\n'
    assert d.proc.stdout.read() == b''
    d = daemons(target, args=(), binds=bound, net=True)
    assert d.wait() == 0
    assert harness.wait_until(lambda: not harness.marked(d.token))
    assert (d.proc.stdout.read(), d.proc.stderr.read()) == (b'', b'')


# root that may not change its groups: the uid goes, root's groups would stay
NO_SETGID = ('setpriv', '--groups', '0,42', '--bounding-set', '-setgid')


def test_root_groups_that_stay_refuse(target, daemons, tmp_path):
    """Root's gid and supplementary groups that cannot be given up are
    refused like a uid that stays: the log line, status 1, nothing served."""
    log = harness.LogSocket()
    try:
        d = daemons(target, binds=[(str(tmp_path), '/run'), *log.bind()], net=True,
                    prefix=NO_SETGID, direct=True)
        assert d.wait() == 1
        assert (d.proc.stdout.read(), d.proc.stderr.read()) == (b'', b'')
        records = log.records('bcastd')
        assert len(records) == 1 and LOG_LINE.match(records[0]), records
    finally:
        log.close()


def status_ids(pid):
    """Uid, Gid (real, effective, saved, fs) and Groups of process PID."""
    ids = {}
    for line in open('/proc/%d/status' % pid):
        key, _, value = line.partition(':')
        if key in ('Uid', 'Gid', 'Groups'):
            ids[key] = value.split()
    return ids


def test_root_start_keeps_no_root_group(target, daemons, capture):
    """A root started with root's groups (0 and 42) serves as nobody, with
    the terminal group as its only supplementary group."""
    d = daemons(target, args=(), stdin='socket', binds=[capture.bind()],
                prefix=('setpriv', '--groups', '0,42'), direct=True)
    assert harness.wait_until(lambda: status_ids(d.pid()).get('Uid') == [str(NOBODY)] * 4)
    ids = status_ids(d.pid())
    assert ids['Gid'] == [str(NOBODY)] * 4 and ids['Groups'] == [str(TTY)], ids
    with d.client() as c:
        assert c.wall('served\n').accept_stat == rw.SUCCESS
    assert d.wait() == 0
    assert capture.wait_for(1)
    assert capture.messages() == [b'\a\aserved\n']


def test_without_a_terminal_group(target, daemons, capture, tmp_path):
    """A system without the group tty: served as nobody with nobody's own
    groups, and the log told once that only terminals writable by everyone
    can be reached."""
    group = tmp_path / 'group'
    group.write_text(''.join(l for l in open('/etc/group') if not l.startswith('tty:')))
    nsswitch = tmp_path / 'nsswitch.conf'
    nsswitch.write_text('passwd: files\ngroup: files\n')
    log = harness.LogSocket()
    try:
        d = daemons(target, args=(), stdin='socket', direct=True,
                    binds=[capture.bind(), (str(group), '/etc/group'),
                           (str(nsswitch), '/etc/nsswitch.conf'), *log.bind()])
        with d.client() as c:
            assert c.wall('no tty\n').accept_stat == rw.SUCCESS
        assert d.wait() == 0
        assert capture.wait_for(1)
        [(text, who)] = capture.runs()
        assert text == b'\a\ano tty\n'
        assert who['Uid'] == [str(NOBODY)] * 4 and who['Groups'] == [str(NOBODY)], who
        records = log.records('bcastd')
        assert len(records) == 1 and re.match(
            rb'^<12>.{15} bcastd: no group tty: messages reach only terminals '
            rb'writable by everyone$', records[0]), records
    finally:
        log.close()
