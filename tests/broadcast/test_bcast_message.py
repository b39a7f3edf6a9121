# SPDX-License-Identifier: ISC
"""The message bcast composes, byte for byte as bcastd hands it to wall: a
stand-in for /usr/bin/wall keeps what it reads.  The client runs in
namespaces of its own (host name, login UID); the daemon is the host
build, standalone."""

import os
import pty
import subprocess
import time
from collections import Counter

import pytest

import harness
from clientlib import (CALL_HEADER, UDPMSGSIZE, bcast_cmd, header, in_namespace,
                       targets_of, tz_for)

TARGETS = targets_of('bcast')
HOST = 'relay'
BEL2 = b'\a\a'


@pytest.fixture
def service(rpc_lock):
    """A standalone bcastd -n whose wall is the capture stand-in."""
    harness.unregister()
    cap = harness.Capture()
    daemon = harness.Daemon('host', binds=[cap.bind()])
    try:
        assert daemon.answering_port()
        yield cap
    finally:
        daemon.stop()
        cap.cleanup()
        harness.unregister()


def send(target, *args, body=b'', stdin=None, stderr=subprocess.PIPE, env=None,
         user=(), **ns):
    """Run bcast ARGS (host localhost first) in its own namespaces."""
    ns.setdefault('hostname', HOST)
    argv = in_namespace([*user, *bcast_cmd(target, 'localhost', *args)], **ns)
    return subprocess.run(argv, input=None if stdin else body, stdin=stdin,
                          stdout=subprocess.PIPE, stderr=stderr, timeout=60,
                          env=dict(os.environ, **(env or {})))


def delivered(cap, seen):
    """The one message delivered since SEEN (the messages before)."""
    assert harness.wait_until(lambda: len(cap.messages()) > len(seen))
    new = list((Counter(cap.messages()) - Counter(seen)).elements())
    assert len(new) == 1
    seen.append(new[0])
    return new[0]


def sent(cap, seen, target, *args, **kw):
    p = send(target, *args, **kw)
    assert (p.returncode, p.stdout) == (0, b''), p.stderr
    assert p.stderr in (None, b'')
    return delivered(cap, seen)


@pytest.mark.parametrize('target', TARGETS)
def test_sender_and_terminal(target, service, tmp_path):
    """Sender: the login name (the audit login UID's user), else the password
    entry of the real user, else ???.  Terminal: the one on standard error
    only, else the placeholder."""
    seen = []
    tty, other = pty.openpty(), pty.openpty()
    try:
        tz = {'TZ': tz_for(13, 40)}
        body = tmp_path / 'body'            # a terminal never ends the body
        body.write_bytes(b'w\n')
        msg = sent(service, seen, target, str(body), stdin=tty[1], stderr=other[1],
                   env=tz, loginuid=2)
        assert msg == BEL2 + header('bin', HOST, os.ttyname(other[1]), '13:40') + b'w\n'
        msg = sent(service, seen, target, str(body), stdin=tty[1], env=tz)
        assert msg == BEL2 + header('root', HOST, 'no tty', '13:40') + b'w\n'
        for uid, name in ((65534, 'nobody'), (54321, '???')):
            user = ['setpriv', '--reuid=%d' % uid, '--regid=%d' % uid, '--clear-groups']
            msg = sent(service, seen, target, user=user, env=tz, body=b'y\n')
            assert msg == BEL2 + header(name, HOST, 'no tty', '13:40') + b'y\n'
        msg = sent(service, seen, target, user=user, env=tz, body=b'y\n', loginuid=1)
        assert msg == BEL2 + header('daemon', HOST, 'no tty', '13:40') + b'y\n'
    finally:
        for fd in (*tty, *other):
            os.close(fd)


@pytest.mark.parametrize('target', TARGETS)
def test_bodies(target, service, tmp_path):
    """Bodies from standard input and from a file arrive byte for byte, with
    no newline added; a NUL drops the rest of its 99-byte piece only."""
    seen = []
    tz = {'TZ': tz_for(0, 0)}
    head = BEL2 + header('root', HOST, 'no tty', '0:00')
    long = bytes(range(0x20, 0x7f)) * 2 + b'z' * 59 + b'\n'          # 250 bytes
    assert len(long) == 250
    cases = [
        (b'hello\n', b'hello\n'),
        (b'', b''),
        (long + b'last line, no newline', long + b'last line, no newline'),
        (b'\xe9t\xe9 \x01\x1b[1m\n\n', b'\xe9t\xe9 \x01\x1b[1m\n\n'),
        (b'ab\0cd\nef\n', b'abef\n'),
        (long[:10] + b'\0' + long[11:], long[:10] + long[99:]),
        (long[:150] + b'\0' + long[151:] + b'\0\n', long[:150] + long[198:]),
    ]
    for body, want in cases:
        assert sent(service, seen, target, body=body, env=tz) == head + want
        f = tmp_path / 'body'
        f.write_bytes(body)
        assert sent(service, seen, target, str(f), stdin=subprocess.DEVNULL,
                    env=tz) == head + want


@pytest.mark.parametrize('target', TARGETS)
def test_long_host_name(target, service):
    """Line 1 ends inside the 64-byte host-name buffer: a name of 64 bytes
    is cut to its first 63."""
    seen = []
    tz = {'TZ': tz_for(9, 5)}
    for name, shown in (('h' * 62 + '.x', 'h' * 62 + '.'), ('a' * 63, 'a' * 63)):
        msg = sent(service, seen, target, hostname=name, env=tz, body=b'z\n')
        assert msg == BEL2 + header('root', shown, 'no tty', '9:05') + b'z\n'


def composing(pid):
    """Whether process PID holds its temporary file open."""
    fds = '/proc/%d/fd' % pid
    for name in os.listdir(fds):
        try:
            if os.readlink(os.path.join(fds, name)).startswith('/tmp/wall.'):
                return True
        except FileNotFoundError:      # closed while we looked (qemu starting up)
            pass
    return False


def test_time_when_composing_began(service):
    """The time field is read once, before the body: a body that ends in the
    next minute still shows the minute in which bcast started.  Every build
    runs at once, so the wait is paid once."""
    tz = dict(os.environ, TZ=tz_for(9, 5, 56))
    start = time.monotonic()
    procs = [subprocess.Popen(in_namespace(bcast_cmd(t, 'localhost'), hostname=HOST),
                              stdin=subprocess.PIPE, stderr=subprocess.PIPE, env=tz)
             for t in TARGETS]
    try:
        for p in procs:         # composing has begun once the file exists
            assert harness.wait_until(lambda: composing(p.pid))
        assert time.monotonic() - start < 3.0, 'too slow to pin the minute'
        time.sleep(max(0, 5.5 - (time.monotonic() - start)))         # 9:06:01
        for p in procs:
            p.stdin.write(b'typed later\n')
            p.stdin.close()
        assert [(p.wait(30), p.stderr.read()) for p in procs] == [(0, b'')] * len(procs)
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
    want = BEL2 + header('root', HOST, 'no tty', '9:05') + b'typed later\n'
    assert service.wait_for(len(procs))
    assert service.messages() == [want] * len(procs)


@pytest.mark.parametrize('target', TARGETS)
def test_too_large_shows_nothing(target, service):
    """A message one byte over the datagram: refused while it is read,
    naming the limit, status 1, and nothing reaches wall; the next message,
    at the limit, does."""
    seen = []
    tz = {'TZ': tz_for(13, 40)}
    room = UDPMSGSIZE - CALL_HEADER - 4 - len(header('root', HOST, 'no tty', '13:40'))
    p = send(target, body=b'x' * (room + 1), env=tz)
    assert (p.returncode, p.stderr) == (1, b"wall: message too long; at most %d bytes can be sent.\n"
                                        % (UDPMSGSIZE - CALL_HEADER - 4))
    assert sent(service, seen, target, body=b'x' * room, env=tz).endswith(b'x' * room)
    assert len(service.messages()) == 1
