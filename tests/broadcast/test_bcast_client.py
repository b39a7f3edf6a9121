# SPDX-License-Identifier: ISC
"""bcast on its own: operands, failures before and during the call, the
message size limits.  A bare RPC server stands in for the daemon where
only the wire matters (what was sent, a daemon that never answers)."""

import os
import resource
import signal
import subprocess
import time

import pytest

from clientlib import (CALL_HEADER, LEFT_IN_TMP, UDPMSGSIZE, FakeServer, bcast_cmd, bcast_path,
                       in_namespace, targets_of, unregister)

TARGETS = targets_of('bcast')


def run(argv, **kw):
    kw.setdefault('capture_output', True)
    kw.setdefault('timeout', 60)
    return subprocess.run(argv, **kw)


@pytest.mark.parametrize('target', TARGETS)
def test_operands(target, rpc_lock, tmp_path):
    """Too few or too many operands: usage with argv[0], nothing read,
    composed or sent."""
    body = tmp_path / 'body'
    body.write_bytes(b'never read\n')
    with FakeServer() as srv:
        for args in ([], ['localhost', str(body), 'extra'],
                     ['localhost', 'a', 'b', 'c']):
            with open(body, 'rb') as stdin:
                p = run(in_namespace(bcast_cmd(target, *args),
                                     private_tmp=True, after=LEFT_IN_TMP),
                        stdin=stdin)
                assert os.lseek(stdin.fileno(), 0, os.SEEK_CUR) == 0
            assert p.stderr == b'usage: %s hostname [file]\n' % bcast_path(target).encode()
            assert p.returncode == 1
            assert p.stdout == b''                  # no file left in /tmp
        assert srv.calls == []


@pytest.mark.parametrize('target', TARGETS)
def test_unreadable_file(target, rpc_lock):
    """A file operand that cannot be opened (missing, or not readable by the
    user): its path as given, status 1, nothing sent, no file left in /tmp."""
    nobody = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups']
    secret = ('mount -t tmpfs tmpfs /mnt; cd /mnt; mkdir d; echo x >d/secret; '
              'chmod 0 d/secret')
    with FakeServer() as srv:
        for path, user in (('no/such/file', []), ('d/secret', nobody)):
            p = run(in_namespace([*user, *bcast_cmd(target, 'localhost', path)],
                                 private_tmp=True, setup=secret, after=LEFT_IN_TMP),
                    stdin=subprocess.DEVNULL)
            assert (p.returncode, p.stderr) == (1, b"wall: can't read %s.\n" % path.encode())
            assert p.stdout == b''
        assert srv.calls == []


@pytest.mark.parametrize('target', TARGETS)
def test_read_error_is_no_body(target, rpc_lock):
    """Input that opens but cannot be read (a directory, EIO from
    /proc/self/mem, a closed standard input) is a failure: the path or
    "standard input", status 1, nothing sent, no file left in /tmp."""
    with FakeServer() as srv:
        for path in ('/', '/proc/self/mem'):
            p = run(in_namespace(bcast_cmd(target, 'localhost', path),
                                 private_tmp=True, after=LEFT_IN_TMP),
                    stdin=subprocess.DEVNULL)
            assert (p.returncode, p.stderr, p.stdout) == (1, b"wall: can't read %s.\n" % path.encode(), b'')
        p = run(in_namespace(bcast_cmd(target, 'localhost'), private_tmp=True, after=LEFT_IN_TMP),
                preexec_fn=lambda: os.close(0))
        assert (p.returncode, p.stderr, p.stdout) == (1, b"wall: can't read standard input.\n", b'')
        assert srv.calls == []
        # a file operand is read whether or not standard input is open
        p = run(in_namespace(bcast_cmd(target, 'localhost', '/etc/hostname')),
                preexec_fn=lambda: os.close(0))
        assert (p.returncode, p.stderr) == (0, b'')
        assert len(srv.calls) == 1


def killed_at(deadline, argv):
    """(status, output, errors) of ARGV, run in a session of its own that is
    killed whole should it outlive DEADLINE seconds."""
    p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, start_new_session=True)
    try:
        out, err = p.communicate(timeout=deadline)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        raise
    return p.returncode, out, err


@pytest.mark.parametrize('target', TARGETS)
def test_endless_input_stops_at_the_limit(target, rpc_lock):
    """Endless text and endless NULs stop being read once the message can
    no longer be sent: the limit named, status 1, nothing sent.  /tmp is a
    4 MiB tmpfs of its own and no file may grow past the limit (a longer
    one would be killed by SIGXFSZ); the whole run is killed at 60 s."""
    most = UDPMSGSIZE - CALL_HEADER - 4
    with FakeServer() as srv:
        for feed, args in (('yes', ()), (':', ('/dev/zero',))):
            script = '%s | exec prlimit --fsize=%d "$@"' % (feed, most)
            argv = in_namespace(['sh', '-c', script, 'sh', *bcast_cmd(target, 'localhost', *args)],
                                private_tmp=True, setup='mount -o remount,size=4m /tmp',
                                after=LEFT_IN_TMP)
            assert killed_at(60, argv) == (
                1, b'', b'wall: message too long; at most %d bytes can be sent.\n' % most)
        assert srv.calls == []


@pytest.mark.parametrize('target', TARGETS)
def test_full_tmp(target, rpc_lock):
    """A /tmp too small for the message (a tmpfs of one page) is a failed
    write, not a failed read: status 1, nothing sent.  Whether the header
    or the body is the write that fails, the report is the same."""
    small = 'mount -o remount,size=4k /tmp'
    cases = [   # an empty body, but no room left even for the header
        (b'', small + '; head -c 4096 /dev/zero >/tmp/full || true', 'rm /tmp/full; '),
        (b'x' * 6000 + b'\n', small, ''),     # within the limit, beyond the page
    ]
    with FakeServer() as srv:
        for body, setup, after in cases:
            p = run(in_namespace(bcast_cmd(target, 'localhost'), private_tmp=True,
                                 setup=setup, after=after + LEFT_IN_TMP),
                    input=body)
            assert (p.returncode, p.stderr, p.stdout) == (1, b"wall: can't write temporary file.\n", b'')
        assert srv.calls == []


HERE = os.path.dirname(os.path.abspath(__file__))
# a host on a link of its own that swallows every datagram sent to it
BLACKHOLE = ('ip link set lo up; ip link add v0 type veth peer name v1; '
             'ip addr add 10.9.9.1/24 dev v0; ip link set v0 up; ip link set v1 up; '
             'ip neigh add 10.9.9.2 lladdr 02:00:00:00:00:01 dev v0')
# the same host by IPv6 too, under the name hole (an /etc/hosts of its own)
BLACKHOLE6 = (BLACKHOLE + '; ip addr add fd09::1/64 dev v0 nodad; '
              'ip neigh add fd09::2 lladdr 02:00:00:00:00:01 dev v0; '
              'printf "fd09::2 hole\\n10.9.9.2 hole\\n" > "$BCAST_RUN/hosts"; '
              'mount --bind "$BCAST_RUN/hosts" /etc/hosts')


def test_one_bound_for_lookup_and_call(tmp_path):
    """The 25 seconds hold for the whole attempt: a portmapper that never
    answers (the library alone would wait 60 s for it), the same by both
    address families (not 25 s each), and one that answers after 10 s
    naming a daemon that never answers (the call gets the 15 s left, not
    25 more).  Each build, each case in a network of its own, all at once."""
    runs = []
    for target in TARGETS:
        runs.append((in_namespace(bcast_cmd(target, '10.9.9.2'), net=True, setup=BLACKHOLE),
                     None, b'10.9.9.2: RPC: Timed out\n'))
        hosts = tmp_path / ('run.' + target)
        hosts.mkdir()
        runs.append((in_namespace(bcast_cmd(target, 'hole'), net=True, setup=BLACKHOLE6,
                                  run_dir=str(hosts)),
                     None, b'hole: RPC: Timed out\n'))
        count = tmp_path / ('calls.' + target)
        slow = ('ip link set lo up; PYTHONPATH="%s" /usr/bin/python3 "%s" 10 "%s" & sleep 1'
                % (HERE, os.path.join(HERE, 'slowrpcbind.py'), count))
        runs.append((in_namespace(bcast_cmd(target, '127.0.0.1'), net=True, setup=slow,
                                  after='kill $!'),
                     count, b'127.0.0.1: RPC: Timed out\n'))
    start = time.monotonic()
    procs = [subprocess.Popen(argv, stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                              start_new_session=True) for argv, _, _ in runs]
    try:
        for p in procs:
            p.stdin.write(b'anyone there?\n')
            p.stdin.close()
        took = {}
        while len(took) < len(procs) and time.monotonic() - start < 60:
            for i, p in enumerate(procs):
                if i not in took and p.poll() is not None:
                    took[i] = time.monotonic() - start
            time.sleep(0.05)
        results = [(p.poll(), p.stderr.read() if p.poll() is not None else None) for p in procs]
    finally:
        for p in procs:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
    assert results == [(1, err) for _, _, err in runs]
    assert all(24 < t < 31 for t in took.values()), took
    for _, count, _ in runs:        # the late answer was heard: the call went out
        assert count is None or int(count.read_text()) >= 1


@pytest.mark.parametrize('target', TARGETS)
def test_no_service(target, rpc_lock):
    """An unknown host and a host whose portmapper knows no program 100008:
    the library's creation report headed by the host name."""
    unregister()
    p = run(bcast_cmd(target, 'no-such-host.invalid'), input=b'hello\n')
    assert (p.returncode, p.stderr) == (1, b'no-such-host.invalid: RPC: Unknown host\n')
    p = run(bcast_cmd(target, 'localhost'), input=b'hello\n')
    assert (p.returncode, p.stderr) == (1, b'localhost: RPC: Program not registered\n')


def grow_while_reading(target, size, limit=None):
    """Run bcast (with no network: should it send, it reaches nobody), and
    while it waits for its body make its unlinked temporary file SIZE bytes
    long, sparse, through /proc."""
    def limits():
        if limit:
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    p = subprocess.Popen(in_namespace(bcast_cmd(target, 'localhost'), net=True),
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, preexec_fn=limits)
    try:
        fds = '/proc/%d/fd' % p.pid
        deadline = time.time() + 30
        def target_of(fd):
            try:
                return os.readlink(os.path.join(fds, fd))
            except OSError:     # closed since the listing (qemu opens and closes files)
                return ''
        while True:
            found = [n for n in os.listdir(fds) if target_of(n).startswith('/tmp/wall.')]
            if found or time.time() > deadline:
                break
            time.sleep(0.02)
        assert found, 'no temporary file'
        with open(os.path.join(fds, found[0]), 'r+b') as f:
            f.truncate(size)
        out, err = p.communicate(b'', timeout=60)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    return p.returncode, out, err


@pytest.mark.parametrize('target', TARGETS)
def test_size_beyond_counter(target):
    """A message whose size does not fit the 32-bit counter (2**32 + 5 would
    wrap to 5) is refused before any allocation."""
    for size in (2**31 - 1, 2**32 + 5):
        assert grow_while_reading(target, size) == (1, b'', b'wall: out of memory.\n')


def test_allocation_fails():
    """A size that fits but memory that does not: the same report."""
    assert grow_while_reading('host', 2**30, limit=256 << 20) == \
        (1, b'', b'wall: out of memory.\n')


def test_never_answered(rpc_lock):
    """A registered service that never answers: the library retransmits
    within the 25 seconds, then the call report, status 1.  Every build
    runs at once against the same silent server."""
    with FakeServer(answer=False) as srv:
        start = time.monotonic()
        procs = [subprocess.Popen(bcast_cmd(t, 'localhost'), stdin=subprocess.PIPE,
                                  stderr=subprocess.PIPE) for t in TARGETS]
        for p in procs:
            p.stdin.write(b'anyone?\n')
            p.stdin.close()
        results = [(p.stderr.read(), p.wait(timeout=60)) for p in procs]
        took = time.monotonic() - start
    for err, status in results:
        assert (status, err) == (1, b'localhost: RPC: Timed out\n')
    assert 24 < took < 40
    assert len(srv.calls) >= 2 * len(TARGETS)           # retransmitted
    assert all(text.endswith(b' ...\n\nanyone?\n') for text in srv.strings())
