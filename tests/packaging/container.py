# SPDX-License-Identifier: ISC
"""A Debian 12 system booted with a real systemd as its PID 1, for the
behaviour that only a service manager shows: control groups, kill modes,
start and trigger limits, the journal.  Made fresh by debootstrap from
Debian's archive, booted by systemd-nspawn in a private mount namespace
(nspawn wants a tmpfs on /run/systemd/nspawn) and a private network, and
removed afterwards."""

import os
import shutil
import signal
import subprocess
import tempfile
import time

PACKAGES = 'systemd,systemd-sysv,dbus,rpcbind,bsdutils,netbase,update-inetd'


def run(argv, **kw):
    kw.setdefault('capture_output', True)
    kw.setdefault('text', True)
    kw.setdefault('timeout', 120)
    return subprocess.run(argv, **kw)


class Container:
    """debootstrap ROOT, install DEBS into it, run SETUP (shell, chrooted),
    then boot it.  inside() runs a command in the booted system."""

    def __init__(self, parent, debs, setup=''):
        self.dir = tempfile.mkdtemp(prefix='systemd.', dir=parent)
        self.root = os.path.join(self.dir, 'root')
        self.boot = None
        self.pid = None
        strap = run(['debootstrap', '--variant=minbase', '--include=' + PACKAGES,
                     'bookworm', self.root], timeout=1200)
        if strap.returncode != 0:
            raise RuntimeError('debootstrap: ' + strap.stdout[-2000:] + strap.stderr[-2000:])
        # what an installed system has and minbase leaves out
        with open(os.path.join(self.root, 'etc', 'hosts'), 'w') as f:
            f.write('127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n')
        debdir = os.path.join(self.root, 'root', 'debs')
        os.makedirs(debdir)
        for deb in debs:
            shutil.copy(deb, debdir)
        # no service is started from the chroot, as under a buildd
        script = ('printf "#!/bin/sh\\nexit 101\\n" > /usr/sbin/policy-rc.d && '
                  'chmod 755 /usr/sbin/policy-rc.d && '
                  'dpkg -i /root/debs/*.deb && rm /usr/sbin/policy-rc.d && ' + (setup or 'true'))
        self.installed = run(['chroot', self.root, '/bin/sh', '-ec', script], timeout=300)
        if self.installed.returncode != 0:
            raise RuntimeError('install: ' + self.installed.stdout + self.installed.stderr)

    def start(self, timeout=120):
        self.boot = subprocess.Popen(
            ['unshare', '--mount', '--propagation', 'private', '/bin/sh', '-c',
             'mkdir -p /run/systemd/nspawn && mount -t tmpfs nspawn /run/systemd/nspawn && '
             'exec systemd-nspawn -q -D "$0" -b --register=no --keep-unit '
             '--private-network --console=passive', self.root],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            start_new_session=True)
        end = time.monotonic() + timeout
        state = None
        while time.monotonic() < end and self.boot.poll() is None:
            self.pid = self.pid or self._init_pid()
            if self.pid:
                state = self.inside('systemctl', 'is-system-running').stdout.strip()
                if state in ('running', 'degraded'):
                    return state
            time.sleep(0.5)
        raise RuntimeError('container did not boot (%s): %s' % (
            state, self.boot.stderr.read().decode() if self.boot.poll() is not None else ''))

    def _init_pid(self):
        """The container's PID 1, as the host sees it: the process named
        systemd whose parent is nspawn."""
        for d in os.listdir('/proc'):
            if not d.isdigit():
                continue
            try:
                with open('/proc/%s/stat' % d) as f:
                    stat = f.read()
            except OSError:
                continue
            comm = stat[stat.index('(') + 1:stat.rindex(')')]
            ppid = int(stat[stat.rindex(')') + 2:].split()[1])
            if comm == 'systemd' and self._descends(ppid):
                return int(d)
        return None

    def _descends(self, pid):
        while pid > 1:
            if pid == self.boot.pid:
                return True
            try:
                with open('/proc/%d/stat' % pid) as f:
                    stat = f.read()
            except OSError:
                return False
            pid = int(stat[stat.rindex(')') + 2:].split()[1])
        return False

    def inside(self, *argv, **kw):
        return run(['nsenter', '-t', str(self.pid), '-a', *argv], **kw)

    def sh(self, script, **kw):
        return self.inside('/bin/sh', '-c', script, **kw)

    def background(self, script):
        """A shell script left running inside (it dies with the container)."""
        return subprocess.Popen(['nsenter', '-t', str(self.pid), '-a', '/bin/sh', '-c', script],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)

    def close(self):
        if self.boot is not None and self.boot.poll() is None:
            # what the tests left running inside goes first, so that the
            # shutdown has nothing to wait for
            if self.pid:
                self.sh('kill -KILL -1', timeout=30)
            self.boot.send_signal(signal.SIGTERM)     # nspawn shuts the system down
            try:
                self.boot.wait(60)
            except subprocess.TimeoutExpired:
                # the end of the container's PID 1 ends everything in it
                if self.pid:
                    os.kill(self.pid, signal.SIGKILL)
                os.killpg(self.boot.pid, signal.SIGKILL)
                self.boot.wait()
        if self.boot is not None:
            self.boot.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)
