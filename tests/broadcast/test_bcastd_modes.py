# SPDX-License-Identifier: ISC
"""How bcastd starts: standalone whatever descriptor 0 is unless it is a
socket, inetd mode (one call, then exit) on any socket, under a real
openbsd-inetd, and detached into the background."""

import os
import signal
import subprocess

import pytest

import harness
import rpcwire as rw
from buildlib import targets_of
from clientlib import bcast_cmd

pytestmark = pytest.mark.parametrize('target', targets_of('bcastd'))


@pytest.mark.parametrize('stdin', ['closed', 'tty', 'file', 'devnull'])
def test_standalone_registers_where_it_answers(target, stdin, registered, daemons):
    d = daemons(target, stdin=stdin)
    port = d.answering_port()
    assert port, d.proc.stderr.read() if d.proc.poll() is not None else 'no answer'
    # the mapping left is the service socket's, not the start-up socket's
    assert harness.rpcinfo_ports() == [port]
    assert port in harness.udp_ports(d.pid())
    # the start-up socket has taken descriptor 0 (a terminal included)
    assert os.readlink('/proc/%d/fd/0' % d.pid()).startswith('socket:')
    with d.client() as c:
        assert c.null().accept_stat == rw.SUCCESS
        assert c.null().accept_stat == rw.SUCCESS
    assert d.proc.poll() is None


def test_detaches_without_n(target, registered, daemons):
    d = daemons(target, args=(), stdin='devnull')
    assert d.wait() == 0
    port = d.answering_port()
    assert port
    pids = harness.udp_pids(port)
    assert len(pids) == 1
    d.detached = pids.pop()
    assert d.detached != d.proc.pid
    assert os.readlink('/proc/%d/cwd' % d.detached) == '/'
    for fd in (1, 2):
        assert os.readlink('/proc/%d/fd/%d' % (d.detached, fd)) == '/dev/null'
    assert os.getsid(d.detached) == d.detached


def call_kinds():
    good = rw.wall_call('first call\n')
    return {
        'null': (rw.null_call(), rw.SUCCESS, []),
        'wall': (good, rw.SUCCESS, [b'\a\afirst call\n']),
        'proc5': (rw.call(rw.WALLPROG, rw.WALLVERS, 5), rw.PROC_UNAVAIL, []),
        'undecodable': (good[:-4], rw.GARBAGE_ARGS, []),
    }


@pytest.mark.parametrize('args', [(), ('-n',)], ids=['plain', 'n'])
@pytest.mark.parametrize('kind', list(call_kinds()))
def test_inetd_mode_serves_one_call(target, args, kind, daemons, capture):
    dg, stat, delivered = call_kinds()[kind]
    d = daemons(target, args=args, stdin='socket', binds=[capture.bind()])
    with d.client() as c:
        # a call the RPC layer answers itself does not end the process
        v2 = rw.call(rw.WALLPROG, 2, 0)
        assert c.exchange(v2) == rw.accepted(rw.xid_of(v2), rw.PROG_MISMATCH, rw.u32(1) + rw.u32(1))
        assert d.wait(0.3) is None
        assert c.exchange(dg) == rw.accepted(rw.xid_of(dg), stat)
    assert d.wait() == 0
    assert d.proc.stdout.read() == b''
    capture.wait_for(len(delivered), 10)
    assert capture.messages() == delivered


def test_inetd_delivery_outlives_the_daemon(target, daemons, capture):
    capture.hold()
    d = daemons(target, stdin='socket', binds=[capture.bind()])
    with d.client() as c:
        assert c.wall('later\n').accept_stat == rw.SUCCESS
    assert d.wait() == 0
    # the delivery is still held at the stand-in's gate
    assert harness.wait_until(lambda: capture.started() == 1)
    assert capture.messages() == []
    capture.release()
    assert capture.wait_for(1)
    assert capture.messages() == [b'\a\alater\n']


def test_real_inetd_entry(target, registered, capture):
    inetd = harness.Inetd(target, binds=[capture.bind()])
    try:
        port = harness.wait_until(harness.rpcinfo_ports, 10)
        assert port and len(port) == 1, inetd.proc.stderr.read1() if inetd.proc.poll() is not None else ''
        with rw.Client(port[0]) as c:
            assert c.wall('via inetd\n').accept_stat == rw.SUCCESS
            # inetd starts a new daemon for the next call
            assert c.null().accept_stat == rw.SUCCESS
        assert capture.wait_for(1)
        assert capture.messages() == [b'\a\avia inetd\n']
    finally:
        inetd.stop()


@pytest.mark.parametrize('sig', [signal.SIGTERM, signal.SIGINT, signal.SIGHUP],
                         ids=['TERM', 'INT', 'HUP'])
def test_stop_takes_the_mapping_along(target, sig, registered, daemons, capture):
    """A stop signal ends a standalone daemon with status 0 and its mapping
    gone, so a client hears that no daemon runs; a delivery under way
    goes on to its end."""
    d = daemons(target, binds=[capture.bind()])
    port = d.answering_port()
    assert port and harness.rpcinfo_ports() == [port]
    capture.hold()
    with d.client() as c:
        assert c.wall('before the stop\n').accept_stat == rw.SUCCESS
    assert harness.wait_until(lambda: capture.started() == 1)
    os.kill(d.pid(), sig)
    assert d.wait() == 0
    assert harness.rpcinfo_ports() == []
    capture.release()
    assert capture.wait_for(1)
    assert capture.messages() == [b'\a\abefore the stop\n']
    # the delivery held the daemon's output pipes until now
    assert (d.proc.stdout.read(), d.proc.stderr.read()) == (b'', b'')
    p = subprocess.run(bcast_cmd('host', 'localhost'), input=b'anyone?\n',
                       capture_output=True, timeout=60)
    assert (p.returncode, p.stderr) == (1, b'localhost: RPC: Program not registered\n')


def test_stop_detached_and_inetd(target, registered, daemons):
    """Detached, the daemon unregisters on SIGTERM too; in inetd mode the
    signal ends it as before."""
    d = daemons(target, args=(), stdin='devnull')
    assert d.wait() == 0
    port = d.answering_port()
    assert port
    [d.detached] = harness.udp_pids(port)
    os.kill(d.detached, signal.SIGTERM)
    assert harness.wait_until(lambda: not harness.marked(d.token))
    assert harness.rpcinfo_ports() == []
    d = daemons(target, stdin='socket')
    assert d.wait(0.3) is None
    d.proc.send_signal(signal.SIGTERM)
    assert d.wait() == -signal.SIGTERM
