# SPDX-License-Identifier: ISC
"""The log hears of messages dropped at the bound on live deliveries."""

import harness
import rpcwire as rw
from buildlib import targets_of

MAXKIDS = 64


def drop_lines(log, lines):
    """Add to LINES the texts of bcastd's warnings (LOG_USER, LOG_WARNING)."""
    for r in log.records('bcastd'):
        if r.startswith(b'<12>'):
            lines.append(r.split(b': ', 1)[1].decode())
    return lines


def test_drops_at_the_bound_are_logged(registered):
    """Drops at the bound are told to the log: a line when they begin, and
    a minute later (not sooner, though deliveries resumed at once) one with
    their number.  Each build drops a different number of messages; they
    run side by side so that the minute is waited once."""
    log = harness.LogSocket()
    started, lines = [], []
    try:
        runs = list(zip(targets_of('bcastd'), (36, 26, 17)))
        assert len(runs) == len(targets_of('bcastd'))
        for build, extra in runs:
            harness.unregister()        # the last build's daemon serves on unmapped
            capture = harness.Capture()
            d = harness.Daemon(build, binds=[capture.bind(), *log.bind()])
            started.append((d, capture))
            assert d.answering_port()
            capture.hold()
            with d.client() as c:
                calls = [rw.wall_call('%s %03d\n' % (build, i)) for i in range(MAXKIDS + extra)]
                assert len(c.burst(calls, window=8)) == len(calls)
            assert harness.wait_until(lambda: capture.started() == MAXKIDS, 30)
            assert harness.wait_until(lambda: len(drop_lines(log, lines)) == len(started))
            capture.release()
            assert d.settle()
            with d.client() as c:       # a free place again: delivered at once
                assert c.wall('%s after\n' % build).accept_stat == rw.SUCCESS
            assert capture.wait_for(MAXKIDS + 1)
        assert drop_lines(log, lines) == ['%d deliveries running: dropping messages' % MAXKIDS] * len(runs)
        assert harness.wait_until(lambda: len(drop_lines(log, lines)) == 2 * len(runs), 75)
        told = sorted(int(l.split()[2]) for l in lines[len(runs):]
                      if l.startswith('delivery resumed: ') and l.endswith(' messages dropped'))
        assert told == sorted(extra for _, extra in runs), lines
    finally:
        for d, capture in started:
            d.stop()
            capture.cleanup()
        log.close()
