"""Fixtures shared by the broadcast suites.  The helpers themselves are in
rpcwire.py (RPC on the wire) and harness.py (wall stand-in, namespaces,
/dev/log, pty and utmp, inetd, a running bcastd)."""

import contextlib
import fcntl
import os
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

LOCK = '/run/lock/bcast-tests.lock'


@contextlib.contextmanager
def locked():
    os.makedirs(os.path.dirname(LOCK), exist_ok=True)
    with open(LOCK, 'w') as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        yield


@pytest.fixture(scope='session', autouse=True)
def portmapper():
    """The machine's rpcbind; started for the session when none runs (a
    fresh machine has none), and stopped again at its end."""
    if subprocess.run(['rpcinfo', '-p', '127.0.0.1'], capture_output=True).returncode == 0:
        yield
        return
    proc = subprocess.Popen(['rpcbind', '-f', '-w'])
    for _ in range(100):
        if subprocess.run(['rpcinfo', '-p', '127.0.0.1'], capture_output=True).returncode == 0:
            break
        time.sleep(0.05)
    else:
        proc.kill()
        pytest.fail('rpcbind did not start')
    yield
    proc.terminate()
    proc.wait()


@pytest.fixture
def rpc_lock():
    """Held by every test that uses the machine's rpcbind or program 100008,
    so that two suites (or two checkouts) never register it at once."""
    with locked():
        yield


@pytest.fixture(scope='module')
def rpc_lock_module():
    """rpc_lock for a module whose tests share one registered daemon."""
    with locked():
        yield


@pytest.fixture
def capture():
    """A stand-in for wall(1); bind capture.bind() in the daemon's namespace."""
    c = harness.Capture()
    yield c
    c.cleanup()


@pytest.fixture
def daemons():
    """Start bcastd processes (harness.Daemon arguments); all are stopped
    at the end, whatever the outcome."""
    started = []

    def start(*args, **kwargs):
        d = harness.Daemon(*args, **kwargs)
        started.append(d)
        return d
    yield start
    for d in started:
        d.stop()


@pytest.fixture
def registered(rpc_lock):
    """No mapping of program 100008 before or after the test."""
    harness.unregister()
    yield
    harness.unregister()
