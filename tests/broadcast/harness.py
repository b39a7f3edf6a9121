# SPDX-License-Identifier: ISC
"""Real surroundings for the broadcast programs: a stand-in for wall(1) that
keeps what it reads, private mount and network namespaces, a test socket on
/dev/log, openbsd-inetd, and a handle on a running bcastd (the terminals of
logins are in terminals.py)."""

import glob
import os
import pty
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import rpcwire
from buildlib import ROOT, build_dir, command, targets_of  # noqa: F401

WALL = '/usr/bin/wall'
QEMU = {'mips': ('qemu-mipsel', '/usr/mipsel-linux-gnu')}


def program(target, name):
    return os.path.join(build_dir(target), 'broadcast', name)


def direct_command(target, prog, *args):
    """Like buildlib.command, but starts qemu itself rather than through a
    shell script (a shell gives up a set-user-ID identity), and names the
    library directory to the loader on its command line (in a set-user-ID
    process it ignores LD_LIBRARY_PATH)."""
    if target not in QEMU:
        return command(target, prog, *args)
    qemu, prefix = QEMU[target]
    lib = os.path.join(ROOT, 'build', 'sysroot-mipsel', 'usr', 'lib', 'mipsel-linux-gnu')
    return [qemu, '-L', prefix, prefix + '/lib/ld.so.1', '--library-path', lib, prog, *map(str, args)]


def wait_until(predicate, timeout=10.0, step=0.02):
    """Poll PREDICATE until it returns something true; return that, or the
    last false value after TIMEOUT seconds."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > end:
            return value
        time.sleep(step)


def namespaced(argv, binds=(), net=False):
    """ARGV run in a private mount namespace (and network namespace when
    NET) with each (source, target) bind-mounted first."""
    script = ''.join('mount --bind "$%d" "$%d" && ' % (2 * i + 1, 2 * i + 2)
                     for i in range(len(binds)))
    script += 'shift %d && exec "$@"' % (2 * len(binds))
    flags = ['-m', '-n'] if net else ['-m']
    pairs = [p for b in binds for p in b]
    return ['unshare', *flags, '/bin/sh', '-c', script, 'sh', *pairs, *argv]


def world_dir(prefix):
    """A fresh directory that the unprivileged delivery child can use."""
    d = tempfile.mkdtemp(prefix=prefix, dir='/tmp')
    os.chmod(d, 0o777)
    return d


class Capture:
    """A stand-in for wall(1).  Each run keeps its standard input, its
    identity (the Uid/Gid/Groups lines of its status), its arguments and
    where its standard output and error lead.
    While a gate is held, each run waits at it before reading its input."""

    SCRIPT = r'''#!/bin/sh
d=%s
out="$(readlink /proc/$$/fd/1) $(readlink /proc/$$/fd/2)"
f=$(mktemp "$d/w.XXXXXXXX") || exit 1
{ grep -E '^(Uid|Gid|Groups):' /proc/$$/status; echo "Args: $*"; echo "Out: $out"; } > "$f.who"
[ -p "$d/gate" ] && { : < "$d/gate"; } 2>/dev/null
cat > "$f"
mv "$f" "$f.msg"
'''

    def __init__(self):
        self.dir = world_dir('wallcap.')
        self.script = os.path.join(self.dir, 'wall')
        with open(self.script, 'w') as f:
            f.write(self.SCRIPT % self.dir)
        os.chmod(self.script, 0o755)
        self.gate = os.path.join(self.dir, 'gate')
        self.gate_fd = None

    def bind(self):
        return (self.script, WALL)

    def started(self):
        return len(glob.glob(os.path.join(self.dir, 'w.*.who')))

    def messages(self):
        """Bytes of every finished run."""
        return [open(p, 'rb').read() for p in sorted(glob.glob(os.path.join(self.dir, 'w.*.msg')))]

    def runs(self):
        """(bytes, identity) of every finished run; identity maps Uid, Gid
        (lists of real, effective, saved, fs), Groups, Args and Out."""
        out = []
        for p in sorted(glob.glob(os.path.join(self.dir, 'w.*.msg'))):
            who = {}
            for line in open(p[:-4] + '.who'):
                key, _, value = line.partition(':')
                who[key] = value.split()
            out.append((open(p, 'rb').read(), who))
        return out

    def wait_for(self, n, timeout=20.0):
        return wait_until(lambda: len(self.messages()) >= n, timeout)

    def wait_for_text(self, data, timeout=20.0):
        return wait_until(lambda: data in self.messages(), timeout)

    def clear(self):
        for p in glob.glob(os.path.join(self.dir, 'w.*')):
            os.unlink(p)

    def hold(self):
        os.mkfifo(self.gate, 0o666)
        os.chmod(self.gate, 0o666)

    def release(self):
        # A run writes its identity before it opens the gate, so it may be
        # about to open it, or blocked in open() without a writer yet.
        # Holding the gate open for reading and writing until cleanup wakes
        # every such run, whenever it gets there; with the name gone no
        # later run can find the gate at all.
        self.gate_fd = os.open(self.gate, os.O_RDWR | os.O_NONBLOCK)
        os.unlink(self.gate)

    def cleanup(self):
        if self.gate_fd is not None:
            os.close(self.gate_fd)
        shutil.rmtree(self.dir, ignore_errors=True)


def children(pid):
    """{child pid: state letter} of the direct children of PID."""
    kids = {}
    for stat in glob.glob('/proc/[0-9]*/stat'):
        try:
            text = open(stat).read()
        except OSError:
            continue
        fields = text[text.rindex(')') + 2:].split()
        if int(fields[1]) == pid:
            kids[int(stat.split('/')[2])] = fields[0]
    return kids


def _udp_inodes():
    """{socket inode: local port} of every UDP socket."""
    inodes = {}
    for table in ('/proc/net/udp', '/proc/net/udp6'):
        try:
            lines = open(table).read().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            f = line.split()
            inodes[f[9]] = int(f[1].split(':')[1], 16)
    return inodes


def _sockets(pid):
    """Socket inodes open in process PID."""
    out = set()
    for fd in glob.glob('/proc/%s/fd/*' % pid):
        try:
            m = re.match(r'socket:\[(\d+)\]', os.readlink(fd))
        except OSError:
            continue
        if m:
            out.add(m.group(1))
    return out


def udp_pids(port):
    """Processes holding a UDP socket bound to PORT."""
    inodes = {i for i, p in _udp_inodes().items() if p == port}
    return {int(d.split('/')[2]) for d in glob.glob('/proc/[0-9]*')
            if _sockets(d.split('/')[2]) & inodes}


def udp_ports(pid):
    """Local ports of the UDP sockets that process PID holds."""
    table = _udp_inodes()
    return {table[i] for i in _sockets(pid) if i in table}


def rss_kib(pid):
    for line in open('/proc/%d/status' % pid):
        if line.startswith('VmRSS:'):
            return int(line.split()[1])
    return 0


def unregister():
    """Remove any mapping of the broadcast program (as root)."""
    subprocess.run(['rpcinfo', '-d', str(rpcwire.WALLPROG), str(rpcwire.WALLVERS)],
                   capture_output=True)


def rpcinfo_ports():
    """UDP ports that `rpcinfo -p` lists for program 100008 version 1."""
    out = subprocess.run(['rpcinfo', '-p'], capture_output=True, text=True).stdout
    return [int(f[3]) for f in (l.split() for l in out.splitlines())
            if len(f) >= 4 and f[0] == '100008' and f[1] == '1' and f[2] == 'udp']


def marked(token):
    """Processes whose environment holds TOKEN (descendants inherit it,
    detached ones included)."""
    pids = []
    for env in glob.glob('/proc/[0-9]*/environ'):
        try:
            if token in open(env, 'rb').read():
                pids.append(int(env.split('/')[2]))
        except OSError:
            pass
    return pids


def kill_marked(token):
    for _ in range(50):
        pids = marked(token)
        if not pids:
            return
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        time.sleep(0.02)


def kill_group(pid):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(pid, sig)
        except OSError:
            return
        if sig == signal.SIGTERM:
            time.sleep(0.05)


class Daemon:
    """A bcastd of one build, started in its own session (so that it and
    its delivery children can be killed together), after PREFIX (such as
    setpriv) inside the namespace.

    stdin: 'socket' (inetd mode: a loopback UDP socket the test keeps the
    address of), 'closed', 'tty', 'file', 'devnull'.  binds: bind mounts
    for a private mount namespace (the capture stand-in for wall)."""

    def __init__(self, target, args=('-n',), stdin='devnull', binds=(), net=False,
                 prefix=(), preexec=None, direct=False, stderr=subprocess.PIPE):
        self.target = target
        self.port = None
        self.host = '127.0.0.1'
        self.proc = None
        self.inetd_sock = None
        self.detached = None
        self._tty = None
        prog = program(target, 'bcastd')
        argv = [*prefix, *(direct_command if direct else command)(target, prog, *args)]
        if binds or net:
            argv = namespaced(argv, binds, net)
        stdin_obj, close0 = self._stdin(stdin)

        def setup():
            if close0:
                os.close(0)
            if preexec:
                preexec()
        self.token = ('BCASTD_TEST=%d.%s' % (os.getpid(), os.urandom(6).hex())).encode()
        env = dict(os.environ)
        env['BCASTD_TEST'] = self.token.decode().split('=', 1)[1]
        self.proc = subprocess.Popen(argv, stdin=stdin_obj, stdout=subprocess.PIPE,
                                     stderr=stderr, start_new_session=True,
                                     preexec_fn=setup, env=env)
        if stdin == 'socket':
            self.inetd_sock.close()
            self.inetd_sock = None
        elif hasattr(stdin_obj, 'close'):
            stdin_obj.close()
        if self._tty is not None:
            os.close(self._tty[1])

    def _stdin(self, kind):
        if kind == 'socket':
            self.inetd_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.inetd_sock.bind(('127.0.0.1', 0))
            self.port = self.inetd_sock.getsockname()[1]
            return self.inetd_sock.fileno(), False
        if kind == 'closed':
            return None, True
        if kind == 'tty':
            self._tty = pty.openpty()
            self.tty_master = self._tty[0]
            return self._tty[1], False
        if kind == 'file':
            f = tempfile.TemporaryFile()
            return f, False
        if kind == 'devnull':
            return subprocess.DEVNULL, False
        raise ValueError(kind)

    def answering_port(self, timeout=20.0, family='ipv4'):
        """Wait for the portmapper to name a port of FAMILY (ipv4: udp,
        ipv6: udp6) where a null call is answered (start-up briefly maps
        its first socket, never read); later clients use that family."""
        host = '::1' if family == 'ipv6' else '127.0.0.1'

        def probe():
            try:
                if family == 'ipv6':
                    port = rpcwire.getaddr(rpcwire.WALLPROG, rpcwire.WALLVERS, 'udp6')
                else:
                    port = rpcwire.getport(rpcwire.WALLPROG, rpcwire.WALLVERS)
            except OSError:
                return None
            if port:
                with rpcwire.Client(port, host, timeout=0.5) as c:
                    if c.null() is not None:
                        return port
            return None
        self.host = host
        self.port = wait_until(probe, timeout, 0.05)
        return self.port

    def pid(self):
        return self.detached if self.detached else self.proc.pid

    def settle(self, timeout=30.0):
        """Wait until every delivery child has finished (deliveries have
        no fixed order, so only this says that all have landed)."""
        return wait_until(lambda: not children(self.pid()), timeout)

    def client(self, timeout=5.0):
        return rpcwire.Client(self.port, self.host, timeout=timeout)

    def wait(self, timeout=20.0):
        """Exit status, or None while it still runs after TIMEOUT."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.proc is not None:
            if self.proc.poll() is None:
                kill_group(self.proc.pid)
            kill_marked(self.token)
            self.proc.wait()
            for f in (self.proc.stdout, self.proc.stderr):
                if f:
                    f.close()
        if self.inetd_sock:
            self.inetd_sock.close()
        if self._tty is not None:
            os.close(self._tty[0])
            self._tty = None


class LogSocket:
    """A datagram socket that collects what syslog(3) sends to /dev/log.
    Where the machine has no /dev/log the socket is bound there and removed
    afterwards; otherwise it is bound privately and bind() gives the mount
    that shadows /dev/log inside the test's namespace."""

    PATH = '/dev/log'

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='devlog.')
        self.path = self.PATH if not os.path.exists(self.PATH) else os.path.join(self.dir, 'log')
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        os.chmod(self.path, 0o666)
        self.sock.setblocking(False)

    def bind(self):
        return () if self.path == self.PATH else ((self.path, self.PATH),)

    def records(self, ident):
        """What IDENT logged (other programs of the machine may log too)."""
        out = []
        while True:
            try:
                r = self.sock.recv(4096)
            except BlockingIOError:
                return out
            if re.match(rb'<\d+>.{15} %s(\[\d+\])?: ' % re.escape(ident.encode()), r):
                out.append(r)

    def close(self):
        self.sock.close()
        if self.path == self.PATH:
            os.unlink(self.PATH)
        shutil.rmtree(self.dir, ignore_errors=True)


class Inetd:
    """openbsd-inetd in the foreground with one rpc/udp entry for bcastd."""

    def __init__(self, target, binds=()):
        self.dir = tempfile.mkdtemp(prefix='inetd.')
        prog = program(target, 'bcastd')
        argv = command(target, prog)
        conf = os.path.join(self.dir, 'inetd.conf')
        with open(conf, 'w') as f:
            f.write('walld/1 dgram rpc/udp wait root %s %s\n'
                    % (argv[0], ' '.join([os.path.basename(argv[0])] + argv[1:])))
        self.token = ('BCASTD_TEST=%d.%s' % (os.getpid(), os.urandom(6).hex())).encode()
        env = dict(os.environ, BCASTD_TEST=self.token.decode().split('=', 1)[1])
        self.proc = subprocess.Popen(namespaced(['inetd', '-d', conf], binds),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, start_new_session=True, env=env)

    def stop(self):
        if self.proc.poll() is None:
            kill_group(self.proc.pid)
        kill_marked(self.token)
        self.proc.wait()
        self.proc.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)
