# SPDX-License-Identifier: ISC
"""What the bcastd benchmark and fuzz run share: the test helpers, the
broadcast tests' lock, and a standalone daemon whose deliveries go to the
wall stand-in."""

import contextlib
import fcntl
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [os.path.join(ROOT, 'tests'), os.path.join(ROOT, 'tests', 'broadcast')]

import harness  # noqa: E402,F401
import rpcwire  # noqa: E402,F401

LOCK = '/run/lock/bcast-tests.lock'


@contextlib.contextmanager
def standalone(target):
    """A registered standalone bcastd of TARGET's build, with its capture;
    the machine's registration of program 100008 is ours meanwhile."""
    os.makedirs(os.path.dirname(LOCK), exist_ok=True)
    with open(LOCK, 'w') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        capture = harness.Capture()
        harness.unregister()
        d = harness.Daemon(target, binds=[capture.bind()])
        try:
            if not d.answering_port():
                sys.exit('bcastd (%s) did not come up' % target)
            yield d, capture
        finally:
            d.stop()
            harness.unregister()
            capture.cleanup()
