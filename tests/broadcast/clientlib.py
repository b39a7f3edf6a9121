# SPDX-License-Identifier: ISC
"""Helpers for the bcast tests: running the client in namespaces, a clock
pinned by the time zone, the header lines, and a bare ONC RPC server for
program 100008 that records the calls it gets (or answers none of them)."""

import os
import socket
import struct
import subprocess
import threading
import time

import rpcwire
from buildlib import ROOT, build_dir, command, targets_of
from rpcwire import IPPROTO_UDP, PMAPPROG, PMAPVERS, WALLPROG, WALLVERS, u32

# The entry of /tmp that holds the checkout, if it lies there; a private
# /tmp keeps it, and LEFT_IN_TMP lists everything else.
_rel = os.path.relpath(ROOT, '/tmp')
TMP_KEEP = '' if _rel.startswith('..') else _rel.split(os.sep)[0]
LEFT_IN_TMP = 'ls -A /tmp | grep -vxF "${BCAST_KEEP:-/}"'

PMAPPROC_SET, PMAPPROC_UNSET = 1, 2
UDPMSGSIZE = 8800           # libtirpc's default datagram buffer
CALL_HEADER = 40            # xid .. verifier of a call with null credentials


def bcast_path(target):
    return os.path.join(build_dir(target), 'broadcast', 'bcast')


def bcast_cmd(target, *args):
    return command(target, bcast_path(target), *args)


def in_namespace(argv, private_tmp=False, hostname=None, setup='', after='',
                 run_dir=None, loginuid=4294967295, net=False):
    """Wrap ARGV so that it runs in a private mount namespace: with an empty
    /tmp of its own if asked, RUN_DIR (one holding a utmp) over /run, and,
    given HOSTNAME, a private UTS namespace with that host name.  SETUP is
    shell run first inside, AFTER once ARGV has ended (the status stays that
    of ARGV).  NET gives it a network of its own, with no way out.  The
    audit login UID, which is where the C library finds the
    login name, is set to LOGINUID (unset by default: no login name)."""
    script = 'set -e\necho %d >/proc/self/loginuid\n' % loginuid
    flags = ['-m', '-n'] if net else ['-m']
    if private_tmp:
        # The checkout itself may live under /tmp: carry it across the mount.
        script += ('if [ -n "$BCAST_KEEP" ]; then mount --bind "$BCAST_ROOT" /mnt; fi\n'
                   'mount -t tmpfs tmpfs /tmp\n'
                   'if [ -n "$BCAST_KEEP" ]; then mkdir -p "$BCAST_ROOT"; '
                   'mount --move /mnt "$BCAST_ROOT"; fi\n')
    if run_dir is not None:
        script += 'mount --bind "$BCAST_RUN" /run\n'
    if hostname is not None:
        flags.append('-u')
        script += 'printf %s "$BCAST_HOSTNAME" >/proc/sys/kernel/hostname\n'
    script += setup + '\n'
    if after:
        script += 'set +e\n"$@"\nrc=$?\n%s\nexit $rc\n' % after
    else:
        script += 'exec "$@"\n'
    return ['env', 'BCAST_HOSTNAME=' + (hostname or ''), 'BCAST_RUN=' + (run_dir or ''),
            'BCAST_ROOT=' + ROOT, 'BCAST_KEEP=' + TMP_KEEP,
            'unshare', *flags, '--propagation', 'private',
            'sh', '-c', script, 'sh', *map(str, argv)]


def header(user, host, tty, hhmm):
    return b'Remote Broadcast Message from %s@%s\n        (%s) at %s ...\n\n' % (
        user.encode(), host.encode(), tty.encode(), hhmm.encode())


def tz_for(hour, minute, second=30, now=None):
    """A POSIX TZ value under which the wall clock, NOW, reads
    HOUR:MINUTE:SECOND local time (offsets may reach 24 hours)."""
    now = time.time() if now is None else now
    utc = int(now) % 86400
    want = hour * 3600 + minute * 60 + second
    west = (utc - want) % 86400          # seconds to subtract from UTC
    if west > 12 * 3600:
        west -= 86400
    sign = '-' if west < 0 else ''
    west = abs(west)
    return 'BCT%s%d:%02d:%02d' % (sign, west // 3600, west // 60 % 60, west % 60)


def pmap(proc, port):
    """Set or unset (100008, 1, udp) at the local portmapper (version 2)."""
    with rpcwire.Client(111) as c:
        r = c.rpc(PMAPPROG, PMAPVERS, proc,
                  u32(WALLPROG) + u32(WALLVERS) + u32(IPPROTO_UDP) + u32(port))
    assert r is not None and r.accept_stat == rpcwire.SUCCESS, r
    return struct.unpack('>I', r.body[:4])[0]


def unregister():
    """Remove any mapping of (100008, 1), also one that a killed daemon
    left behind under another owner (root may remove every mapping)."""
    subprocess.run(['rpcinfo', '-d', str(WALLPROG), str(WALLVERS)],
                   capture_output=True)


class FakeServer:
    """Program 100008 on a loopback UDP port, registered with rpcbind.
    It records every call datagram (procedure, raw argument); when
    ANSWER is false it stays silent, like a host whose daemon hangs."""

    def __init__(self, answer=True):
        self.answer = answer
        self.calls = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind(('127.0.0.1', 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.done = False
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        unregister()
        assert pmap(PMAPPROC_SET, self.port) == 1
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done = True
        self.thread.join()
        unregister()
        self.sock.close()

    def _serve(self):
        while not self.done:
            try:
                data, peer = self.sock.recvfrom(65536)
            except socket.timeout:
                continue
            xid, mtype, _, prog, vers, proc = struct.unpack('>6I', data[:24])
            clen = struct.unpack('>I', data[28:32])[0]
            vpos = 32 + clen
            vlen = struct.unpack('>I', data[vpos + 4:vpos + 8])[0]
            self.calls.append((proc, data[vpos + 8 + vlen:]))
            if self.answer:
                self.sock.sendto(rpcwire.accepted(xid, rpcwire.SUCCESS), peer)

    def strings(self):
        """The decoded text of each broadcast call received."""
        out = []
        for proc, arg in self.calls:
            assert proc == 2
            n = struct.unpack('>I', arg[:4])[0]
            assert len(arg) == 4 + n + (4 - n % 4) % 4
            assert arg[4 + n:] == b'\0' * (len(arg) - 4 - n)
            out.append(arg[4:4 + n])
        return out
