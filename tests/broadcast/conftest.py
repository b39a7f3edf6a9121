# SPDX-License-Identifier: ISC
"""Fixtures shared by the broadcast suites.  The helpers themselves are in
rpcwire.py (RPC on the wire) and harness.py (wall stand-in, namespaces,
/dev/log, pty and utmp, inetd, a running bcastd)."""

import contextlib
import fcntl
import os
import stat
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from buildlib import ROOT, targets_of  # noqa: E402

LOCK = '/run/lock/bcast-tests.lock'


@contextlib.contextmanager
def locked():
    os.makedirs(os.path.dirname(LOCK), exist_ok=True)
    with open(LOCK, 'w') as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        yield


@pytest.fixture(scope='session', autouse=True)
def reachable_programs():
    """Some tests run bcast and bcastd as other users (nobody, a test uid),
    who must reach the programs, the wrapper and the MIPS libraries.  A
    checkout in a private directory (mktemp -d, a 0700 home) is opened for
    the session: directories on the way get search permission for others
    (never read, so nothing can be listed), the files themselves read and
    execute.  Every mode changed is given back at the end."""
    wanted = [os.path.join(ROOT, 'tools', 'run-target'),
              os.path.join(ROOT, 'build', 'sysroot-mipsel', 'usr', 'lib', 'mipsel-linux-gnu')]
    for name in ('bcast', 'bcastd'):
        wanted += [harness.program(t, name) for t in targets_of(name)]
    changed = {}

    def grant(path, bits):
        mode = stat.S_IMODE(os.stat(path).st_mode)
        if mode & bits != bits:
            changed.setdefault(path, mode)
            os.chmod(path, mode | bits)

    for path in wanted:
        if not os.path.exists(path):
            continue
        if os.path.isdir(path):
            for entry in os.scandir(path):
                if entry.is_file(follow_symlinks=False):
                    grant(entry.path, stat.S_IROTH)
            grant(path, stat.S_IXOTH)
        else:
            grant(path, stat.S_IROTH | stat.S_IXOTH)
        parent = os.path.dirname(path)
        while parent != os.path.dirname(parent):
            grant(parent, stat.S_IXOTH)
            parent = os.path.dirname(parent)
    try:
        yield
    finally:
        for path, mode in changed.items():
            os.chmod(path, mode)


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
