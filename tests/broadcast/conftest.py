"""Fixtures shared by the broadcast suites."""

import fcntl
import os

import pytest

LOCK = '/run/lock/bcast-tests.lock'


@pytest.fixture
def rpc_lock():
    """Held by every test that uses the machine's rpcbind or program 100008,
    so that two suites (or two checkouts) never register it at once."""
    os.makedirs(os.path.dirname(LOCK), exist_ok=True)
    with open(LOCK, 'w') as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        yield
