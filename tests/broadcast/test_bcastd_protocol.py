# SPDX-License-Identifier: ISC
"""bcastd's answers on the wire, checked to the byte against a standalone
daemon whose deliveries go to the wall stand-in."""

import subprocess

import pytest

import harness
import rpcwire as rw
from buildlib import targets_of

WALL = (rw.WALLPROG, rw.WALLVERS)


@pytest.fixture(scope='module', params=[(t, f) for t in targets_of('bcastd')
                                        for f in ('ipv4', 'ipv6')], ids='-'.join)
def served(request, rpc_lock_module):
    """(daemon, capture): one standalone daemon per build for this module,
    spoken to over each family it serves."""
    target, family = request.param
    capture = harness.Capture()
    harness.unregister()
    d = harness.Daemon(target, binds=[capture.bind()])
    try:
        assert d.answering_port(family=family), \
            d.proc.stderr.read() if d.proc.poll() is not None else ''
        yield d, capture
    finally:
        d.stop()
        harness.unregister()
        capture.cleanup()


@pytest.fixture
def fresh(served):
    """The module's daemon with nothing captured yet."""
    d, capture = served
    assert d.settle()
    capture.clear()
    return served


def delivered(d, capture):
    """Every text delivered so far, once all deliveries have finished."""
    assert d.settle()
    return sorted(capture.messages())


def test_answers_to_the_byte(fresh):
    d, capture = fresh
    with d.client() as c:
        dg = rw.null_call()
        assert c.exchange(dg) == rw.accepted(rw.xid_of(dg), rw.SUCCESS)
        for proc in (1, 3, 5, 0xffffffff):
            dg = rw.call(*WALL, proc)
            assert c.exchange(dg) == rw.accepted(rw.xid_of(dg), rw.PROC_UNAVAIL)
        dg = rw.call(rw.WALLPROG, 2, 0)
        assert c.exchange(dg) == rw.accepted(rw.xid_of(dg), rw.PROG_MISMATCH, rw.u32(1) + rw.u32(1))
        dg = rw.call(rw.WALLPROG + 1, 1, 0)
        assert c.exchange(dg) == rw.accepted(rw.xid_of(dg), rw.PROG_UNAVAIL)
        dg = rw.wall_call('answered\n')
        assert c.exchange(dg) == rw.accepted(rw.xid_of(dg), rw.SUCCESS)
    out = subprocess.run(['rpcinfo', '-T', 'udp6' if ':' in d.host else 'udp', d.host,
                          str(rw.WALLPROG), '1'],
                         capture_output=True, text=True)
    assert out.returncode == 0 and 'ready and waiting' in out.stdout
    # only the broadcast call delivered anything
    assert delivered(d, capture) == [b'\a\aanswered\n']


def test_strings_of_every_padding(fresh):
    d, capture = fresh
    texts = [b'', b'p', b'pa', b'pad', b'padd', b'paddi']
    with d.client() as c:
        for t in texts:
            args = rw.xdr_string(t)
            assert len(args) == 4 + len(t) + (-len(t) % 4)
            assert c.rpc(*WALL, 2, args).accept_stat == rw.SUCCESS
    assert delivered(d, capture) == sorted(b'\a\a' + t for t in texts)


def test_short_arguments_are_refused(fresh):
    """Arguments that do not lie inside their datagram get GARBAGE_ARGS and
    are never completed from an earlier datagram."""
    d, capture = fresh
    good = rw.wall_call('cut: whole text\n')
    header = good[:40]
    bad = [
        header + rw.u32(5) + b'cut',                   # length beyond the data
        header + rw.u32(0xffffffff) + b'cut:',          # length at the top
        header + rw.u32(0x7ffffff0),                   # a length no datagram can hold
        good[:42],                                      # cut inside the length field
        good[:50],                                      # cut inside the text
        header + rw.u32(7) + b'cut: ab',                # padding missing
    ]
    with d.client() as c:
        for dg in bad:
            dg = rw.u32(rw.next_xid()) + dg[4:]
            assert c.exchange(dg) == rw.accepted(rw.xid_of(dg), rw.GARBAGE_ARGS), dg
            # a good call, then a header alone: the header must not pick up
            # the good call's text from the transport's buffer
            assert rw.Reply(c.exchange(rw.u32(rw.next_xid()) + good[4:])).accept_stat == rw.SUCCESS
            lone = rw.u32(rw.next_xid()) + header[4:]
            assert c.exchange(lone) == rw.accepted(rw.xid_of(lone), rw.GARBAGE_ARGS)
    assert delivered(d, capture) == [b'\a\acut: whole text\n'] * len(bad)


def test_no_answer_to_what_is_no_call(fresh):
    d, _ = fresh
    reply = rw.accepted(rw.next_xid(), rw.SUCCESS)
    with d.client(timeout=0.5) as c:
        for dg in (b'', b'\0\0\0', reply, rw.null_call()[:12], b'\xff' * 64):
            assert c.exchange(dg, timeout=0.5) is None
        assert c.null().accept_stat == rw.SUCCESS


def test_every_datagram_is_a_new_call(fresh):
    d, capture = fresh
    dg = rw.wall_call('twice\n')
    with d.client() as c:
        assert c.exchange(dg) == rw.accepted(rw.xid_of(dg), rw.SUCCESS)
        assert c.exchange(dg) == rw.accepted(rw.xid_of(dg), rw.SUCCESS)
    assert delivered(d, capture) == [b'\a\atwice\n', b'\a\atwice\n']


def test_largest_message(fresh):
    """The transport's buffer holds 8800 bytes: a text that fills it is
    delivered whole, one longer arrives cut short and is refused."""
    d, capture = fresh
    fits = b''.join(b'%d' % (i % 10) for i in range(8800 - 40 - 4))
    with d.client() as c:
        assert c.rpc(*WALL, 2, rw.xdr_string(fits)).accept_stat == rw.SUCCESS
        dg = rw.wall_call(fits + b'more')
        assert c.exchange(dg) == rw.accepted(rw.xid_of(dg), rw.GARBAGE_ARGS)
    assert delivered(d, capture) == [b'\a\a' + fits]
