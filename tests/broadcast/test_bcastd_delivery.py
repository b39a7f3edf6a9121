# SPDX-License-Identifier: ISC
"""Deliveries: through the real wall(1) onto a terminal, reaping, the bound
on live delivery children, and garbage at a serving daemon."""

import glob
import os

import pytest

import fuzzwire
import harness
import terminals
import rpcwire as rw
from buildlib import targets_of

pytestmark = pytest.mark.parametrize('target', targets_of('bcastd'))

MAXKIDS = 64


def test_real_wall_reaches_a_terminal(target, daemons):
    term = terminals.Terminal()
    try:
        d = daemons(target, stdin='socket', binds=[term.bind()])
        with d.client() as c:
            assert c.wall('greetings from afar\n').accept_stat == rw.SUCCESS
        assert d.wait() == 0
        seen = term.read(b'greetings from afar')
        assert b'\a\agreetings from afar' in seen, seen
        assert b'Broadcast message from nobody@' in seen, seen
        assert term.refused() == b''
    finally:
        term.close()


def test_reaping_and_the_bound(target, registered, daemons, capture):
    d = daemons(target, binds=[capture.bind()])
    assert d.answering_port()
    first = [rw.wall_call('reap %03d\n' % i) for i in range(200)]
    with d.client() as c:
        replies = c.burst(first, window=4)
    assert sorted(replies.values()) == sorted(rw.accepted(rw.xid_of(dg), rw.SUCCESS) for dg in first)
    assert d.settle(), 'children left: %r' % harness.children(d.pid())
    got = capture.messages()
    # deliveries past the bound may have been dropped, never more
    assert len(got) >= MAXKIDS and len(set(got)) == len(got)
    assert set(got) <= {b'\a\areap %03d\n' % i for i in range(200)}

    # every reaped child gave its place back: a held burst admits the bound
    capture.clear()
    capture.hold()
    burst = [rw.wall_call('burst %04d\n' % i) for i in range(1000)]
    with d.client() as c:
        replies = c.burst(burst, window=16)
        assert len(replies) == len(burst)
        assert all(r == rw.accepted(x, rw.SUCCESS) for x, r in replies.items())
        assert harness.wait_until(lambda: capture.started() >= MAXKIDS)
        assert c.null().accept_stat == rw.SUCCESS
        assert capture.started() == MAXKIDS
        assert len(harness.children(d.pid())) == MAXKIDS
    capture.release()
    assert capture.wait_for(MAXKIDS)
    assert d.settle()
    got = capture.messages()
    assert len(got) == MAXKIDS and len(set(got)) == MAXKIDS
    assert set(got) <= {b'\a\aburst %04d\n' % i for i in range(1000)}


def test_garbage_does_not_hurt(target, registered, daemons, capture):
    d = daemons(target, binds=[capture.bind()])
    assert d.answering_port()
    count = 1500 if target == 'host' else 600
    with d.client() as c:
        fuzzwire.blast(c, fuzzwire.datagrams(200, seed=7))
        assert d.settle()
        before = harness.rss_kib(d.pid())
        fuzzwire.blast(c, fuzzwire.datagrams(count, seed=8))
        assert d.proc.poll() is None, d.proc.stderr.read()
        # the flood may still fill the socket's buffer: retransmit, as any
        # RPC client would, and give an emulated daemon time to catch up
        assert c.null(timeout=60).accept_stat == rw.SUCCESS
        assert c.wall('still here\n', timeout=60, retransmit=1).accept_stat == rw.SUCCESS
    assert capture.wait_for_text(b'\a\astill here\n')
    assert d.settle()
    growth = harness.rss_kib(d.pid()) - before
    assert growth < (1024 if target == 'host' else 4096), growth


class FdCapture(harness.Capture):
    """The wall stand-in behind a wrapper that first notes what each of its
    descriptors refers to."""

    def __init__(self):
        super().__init__()
        self.wrapper = os.path.join(self.dir, 'fdwall')
        with open(self.wrapper, 'w') as f:
            f.write('#!/bin/sh\necho $(readlink /proc/$$/fd/*) >"%s/fds.$$"\nexec "%s" "$@"\n'
                    % (self.dir, self.script))
        os.chmod(self.wrapper, 0o755)

    def bind(self):
        return (self.wrapper, harness.WALL)

    def fds(self):
        return [open(p).read().split() for p in glob.glob(os.path.join(self.dir, 'fds.*'))]


@pytest.mark.parametrize('stdin', ['devnull', 'socket'], ids=['standalone', 'inetd'])
def test_wall_holds_no_socket(target, stdin, registered, daemons):
    """The daemon's UDP sockets stay in the daemon: the shell and wall of a
    delivery hold none of them, whichever mode."""
    capture = FdCapture()
    try:
        d = daemons(target, stdin=stdin, binds=[capture.bind()])
        if stdin == 'devnull':
            assert d.answering_port()
        with d.client() as c:
            assert c.wall('no sockets here\n').accept_stat == rw.SUCCESS
        assert capture.wait_for(1)
        assert capture.messages() == [b'\a\ano sockets here\n']
        [fds] = capture.fds()
        assert fds and not [f for f in fds if f.startswith('socket:')], fds
    finally:
        capture.cleanup()
