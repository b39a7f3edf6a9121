# SPDX-License-Identifier: ISC
"""Terminals as logins have them, for the broadcasts to land on: a
pseudo-terminal owned by a user who is neither root nor nobody, group tty,
mode 0620 (0600 after mesg n), listed in a private utmp."""

import grp
import os
import pty
import shutil
import subprocess
import tempfile
import time


# A login's user: neither root nor nobody, so that only the terminal group
# can open its terminal to the daemon's wall.
LOGIN_UID, LOGIN_NAME = 4242, 'alice'
TTY_GID = grp.getgrnam('tty').gr_gid


def utmp_entry(pid, line, user):
    """One USER_PROCESS record in utmpdump's text form."""
    return ('[7] [%05d] [%-4s] [%-32s] [%-32s] [%-256s] [%-15s] [%s]\n'
            % (pid, line[-4:], user, line, '', '0.0.0.0',
               time.strftime('%Y-%m-%dT%H:%M:%S,000000+00:00', time.gmtime())))


def login_pty(mode):
    """(master, slave, name) of a pseudo-terminal as login leaves it: owned
    by the login's user and the group tty, mode 0620 while it accepts
    messages, 0600 after mesg n."""
    master, slave = pty.openpty()
    name = os.ttyname(slave)
    os.chown(name, LOGIN_UID, TTY_GID)
    os.chmod(name, mode)
    return master, slave, name


def read_pty(fd, until, timeout):
    """Bytes from master FD until UNTIL appears (or time runs out)."""
    data = b''
    end = time.monotonic() + timeout
    os.set_blocking(fd, False)
    while until not in data and time.monotonic() < end:
        try:
            data += os.read(fd, 4096)
        except BlockingIOError:
            time.sleep(0.02)
        except OSError:     # EIO: no slave left open
            break
    return data


class Terminal:
    """Two logins of one user in a private utmp: a terminal that accepts
    messages (0620) and, listed before it so that wall comes to it first,
    one whose owner said mesg n (0600), which must never show anything."""

    def __init__(self):
        self.master, self.slave, self.name = login_pty(0o620)
        self.refusing, self.refusing_slave, self.refusing_name = login_pty(0o600)
        self.dir = tempfile.mkdtemp(prefix='utmp.')
        text = ''.join(utmp_entry(os.getpid(), n[len('/dev/'):], LOGIN_NAME)
                       for n in (self.refusing_name, self.name))
        utmp = os.path.join(self.dir, 'utmp')
        with open(utmp, 'wb') as f:
            subprocess.run(['utmpdump', '-r'], input=text.encode(), stdout=f,
                           stderr=subprocess.DEVNULL, check=True)
        # as on a running system: /run searchable, utmp readable by all
        os.chmod(self.dir, 0o755)
        os.chmod(utmp, 0o644)

    def bind(self):
        """Shadow /run with a directory that holds only this utmp."""
        return (self.dir, '/run')

    def read(self, until, timeout=10.0):
        """Bytes the accepting terminal shows until UNTIL appears (or time
        runs out)."""
        return read_pty(self.master, until, timeout)

    def refused(self):
        """What the mesg n terminal has shown so far (nothing, ever)."""
        return read_pty(self.refusing, b'\0', 0.2)

    def close(self):
        for fd in (self.master, self.slave, self.refusing, self.refusing_slave):
            os.close(fd)
        shutil.rmtree(self.dir, ignore_errors=True)
