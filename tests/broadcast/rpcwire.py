# SPDX-License-Identifier: ISC
"""ONC RPC over UDP by hand (RFC 5531 messages, RFC 4506 encoding, RFC 1833
portmapper), so that tests see and build every byte themselves."""

import itertools
import os
import socket
import struct
import time

WALLPROG, WALLVERS = 100008, 1
PMAPPROG, PMAPVERS, PMAPPROC_GETPORT = 100000, 2, 3
IPPROTO_UDP = 17

CALL, REPLY = 0, 1
MSG_ACCEPTED, MSG_DENIED = 0, 1
SUCCESS, PROG_UNAVAIL, PROG_MISMATCH, PROC_UNAVAIL, GARBAGE_ARGS, SYSTEM_ERR = range(6)
AUTH_NONE = 0

_xids = itertools.count(int.from_bytes(os.urandom(3), 'big') << 8)


def next_xid():
    return next(_xids) & 0xffffffff


def u32(n):
    return struct.pack('>I', n & 0xffffffff)


def xdr_string(data):
    """An XDR string<>: length, bytes, zero padding to a multiple of four."""
    if isinstance(data, str):
        data = data.encode()
    return u32(len(data)) + data + b'\0' * (-len(data) % 4)


def call(prog, vers, proc, args=b'', xid=None):
    """A call message with null credentials and verifier."""
    xid = next_xid() if xid is None else xid
    return (u32(xid) + u32(CALL) + u32(2) + u32(prog) + u32(vers) + u32(proc)
            + u32(AUTH_NONE) + u32(0) + u32(AUTH_NONE) + u32(0) + args)


def wall_call(text, xid=None):
    return call(WALLPROG, WALLVERS, 2, xdr_string(text), xid)


def null_call(xid=None):
    return call(WALLPROG, WALLVERS, 0, b'', xid)


def accepted(xid, stat, body=b''):
    """The exact bytes of an accepted reply with a null verifier."""
    return u32(xid) + u32(REPLY) + u32(MSG_ACCEPTED) + u32(AUTH_NONE) + u32(0) + u32(stat) + body


def xid_of(datagram):
    return struct.unpack('>I', datagram[:4])[0]


class Reply:
    """A decoded reply: xid, reply_stat, and for accepted replies the
    accept_stat and the bytes after it (result or mismatch info)."""

    def __init__(self, data):
        self.raw = data
        words = lambda off, n: struct.unpack('>%dI' % n, data[off:off + 4 * n])
        self.xid, mtype, self.reply_stat = words(0, 3)
        if mtype != REPLY:
            raise ValueError('not a reply: %r' % data)
        if self.reply_stat == MSG_ACCEPTED:
            _, vlen = words(12, 2)
            off = 20 + vlen + (-vlen % 4)
            (self.accept_stat,) = words(off, 1)
            self.body = data[off + 4:]
        else:
            self.accept_stat = None
            self.body = data[12:]

    def mismatch(self):
        return struct.unpack('>II', self.body[:8])


class Client:
    """One UDP socket talking to one server port on loopback (IPv6 when
    HOST is an IPv6 address)."""

    def __init__(self, port, host='127.0.0.1', timeout=5.0):
        self.addr = (host, port)
        self.timeout = timeout
        self.sock = socket.socket(socket.AF_INET6 if ':' in host else socket.AF_INET,
                                  socket.SOCK_DGRAM)
        self.sock.settimeout(timeout)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, datagram):
        self.sock.sendto(datagram, self.addr)

    def recv(self, timeout=None):
        """The next reply datagram, or None when none comes in time."""
        if timeout is not None:
            self.sock.settimeout(timeout)
        try:
            return self.sock.recv(65536)
        except socket.timeout:
            return None

    def exchange(self, datagram, timeout=None, retransmit=None):
        """Send one datagram and return the raw reply with its xid, or None
        after TIMEOUT seconds (the client's own by default).  With RETRANSMIT, the datagram is sent again
        whenever that many seconds (doubling each time) pass unanswered, as
        RPC clients do: a datagram may be lost in a full socket buffer."""
        xid = xid_of(datagram) if len(datagram) >= 4 else None
        end = time.monotonic() + (self.timeout if timeout is None else timeout)
        interval = retransmit
        while True:
            self.send(datagram)
            resend = time.monotonic() + interval if interval else end
            while True:
                left = min(resend, end) - time.monotonic()
                data = self.recv(max(left, 0.001)) if left > 0 else None
                if data is not None and (xid is None or xid_of(data) == xid):
                    return data
                if data is None and time.monotonic() >= end:
                    return None
                if data is None and time.monotonic() >= resend:
                    break
            interval *= 2

    def rpc(self, prog, vers, proc, args=b'', timeout=None, retransmit=None):
        data = self.exchange(call(prog, vers, proc, args), timeout, retransmit)
        return None if data is None else Reply(data)

    def null(self, timeout=None, retransmit=0.5):
        """The null procedure, retransmitted like any RPC client's call
        (it changes nothing, so an answer to a copy is as good)."""
        return self.rpc(WALLPROG, WALLVERS, 0, timeout=timeout, retransmit=retransmit)

    def wall(self, text, timeout=None, retransmit=None):
        """Procedure 2.  Not retransmitted unless asked: the daemon has no
        duplicate cache, so a copy would be shown twice."""
        return self.rpc(WALLPROG, WALLVERS, 2, xdr_string(text), timeout, retransmit)

    def burst(self, datagrams, window=16, timeout=10.0):
        """Send datagrams keeping up to WINDOW unanswered; return the replies
        by xid.  A datagram left unanswered for TIMEOUT ends the burst."""
        pending, replies = {}, {}
        todo = list(datagrams)
        todo.reverse()
        while todo or pending:
            while todo and len(pending) < window:
                d = todo.pop()
                pending[xid_of(d)] = d
                self.send(d)
            data = self.recv(timeout)
            if data is None:
                break
            xid = xid_of(data)
            if pending.pop(xid, None) is not None:
                replies[xid] = data
        return replies


def getport(prog, vers, prot=IPPROTO_UDP, host='127.0.0.1'):
    """Ask the portmapper on HOST for a port (0: not registered)."""
    with Client(111, host) as c:
        r = c.rpc(PMAPPROG, PMAPVERS, PMAPPROC_GETPORT,
                  u32(prog) + u32(vers) + u32(prot) + u32(0))
    if r is None or r.accept_stat != SUCCESS:
        raise OSError('portmapper did not answer GETPORT')
    return struct.unpack('>I', r.body[:4])[0]


RPCBVERS, RPCBPROC_GETADDR = 3, 3


def getaddr(prog, vers, netid, host='::1'):
    """Ask rpcbind on HOST (version 3) for the port of PROG, VERS over
    NETID (0: not registered)."""
    with Client(111, host) as c:
        r = c.rpc(PMAPPROG, RPCBVERS, RPCBPROC_GETADDR,
                  u32(prog) + u32(vers) + xdr_string(netid) + xdr_string('') + xdr_string(''))
    if r is None or r.accept_stat != SUCCESS:
        raise OSError('rpcbind did not answer GETADDR')
    n = struct.unpack('>I', r.body[:4])[0]
    uaddr = r.body[4:4 + n].decode()
    if not uaddr:
        return 0
    hi, lo = uaddr.rsplit('.', 2)[1:]
    return int(hi) * 256 + int(lo)
