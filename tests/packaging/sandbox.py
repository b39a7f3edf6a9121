#!/usr/bin/python3
# SPDX-License-Identifier: ISC
"""The scenes of the packaging tests that change the system, played inside
a private mount and network namespace (the caller runs this script under
`unshare --mount --net --propagation private`): a fresh /run with our own
rpcbind on our own loopback, and logged-in pseudo-terminals in our own
utmp.  Nothing outside the namespaces sees any of it.  Each scene prints
one JSON object of what it saw; the tests judge it.

    sandbox.py socket BUILD          bcastd under systemd-socket-activate
    sandbox.py portmap BUILD         bcastd-portmap's answers, true and false
    sandbox.py install TMP DEB...    dpkg -i into an overlay of / and use it
"""

import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys

import time

import calcref

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'broadcast'))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
import terminals  # noqa: E402

BODY = b'the packages are in\nsecond line\n'


def sh(argv, **kw):
    kw.setdefault('capture_output', True)
    kw.setdefault('timeout', 120)
    return subprocess.run(argv, **kw)


def text(p):
    return {'status': p.returncode, 'stdout': p.stdout.decode(errors='replace'),
            'stderr': p.stderr.decode(errors='replace')}


def wait_until(check, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.05)
    return False


class Processes:
    """Everything started in the background, killed on the way out."""

    def __init__(self):
        self.procs = []

    def start(self, argv, **kw):
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, start_new_session=True, **kw)
        self.procs.append(p)
        return p

    def stop(self, p):
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
        p.wait()

    def close(self):
        for p in reversed(self.procs):
            self.stop(p)


def portmapper(procs):
    """Our loopback and an rpcbind on it, in a /run of our own."""
    sh(['mount', '-t', 'tmpfs', '-o', 'mode=755', 'run', '/run'], check=True)
    os.makedirs('/run/lock', exist_ok=True)
    sh(['ip', 'link', 'set', 'lo', 'up'], check=True)
    rpcbind = procs.start(['rpcbind', '-f', '-w'])
    if not wait_until(lambda: sh(['rpcinfo', '-p', 'localhost']).returncode == 0, 20):
        raise SystemExit('sandbox: rpcbind does not answer')
    return rpcbind


def mappings():
    """(program, version, protocol, port) of every mapping, from rpcinfo."""
    out = sh(['rpcinfo', '-p', 'localhost']).stdout.decode()
    return [tuple(line.split()[:4]) for line in out.splitlines()[1:] if line.split()]


def wall_mappings():
    return [m for m in mappings() if m[0] == '100008']


class Terminal:
    """Two logins of one user in /run/utmp, as login leaves their terminals
    (terminals.login_pty): one that accepts messages, 0620, and before it
    one whose owner said mesg n, 0600."""

    def __init__(self):
        self.master, self.slave, name = terminals.login_pty(0o620)
        self.refusing, self.refusing_slave, refusing_name = terminals.login_pty(0o600)
        text = ''.join(terminals.utmp_entry(os.getpid(), n[len('/dev/'):], terminals.LOGIN_NAME)
                       for n in (refusing_name, name))
        with open('/run/utmp', 'wb') as f:
            sh(['utmpdump', '-r'], input=text.encode(), capture_output=False,
               stdout=f, stderr=subprocess.DEVNULL, check=True)
        os.chmod('/run/utmp', 0o644)

    def read(self, until, seconds=40):
        return terminals.read_pty(self.master, until, seconds).decode(errors='replace')

    def refused(self):
        return terminals.read_pty(self.refusing, b'\0', 0.2).decode(errors='replace')


def broadcast(bcast, term):
    """bcast localhost with BODY: its status, what the terminal shows and
    what the one that refuses messages shows."""
    p = sh([bcast, 'localhost'], input=BODY, timeout=60)
    return {'bcast': text(p), 'terminal': term.read(BODY.splitlines()[-1]),
            'refused': term.refused()}


def udp_port_taken(port):
    """Whether someone has bound the UDP port (systemd-socket-activate
    binds it on [::], which takes IPv4 as well)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind(('0.0.0.0', int(port)))
        except OSError:
            return True
    return False


def unit_settings(path):
    """key -> [values] of a unit file, %% and quoting left to shlex."""
    settings = {}
    with open(path) as f:
        for line in f:
            m = re.match(r'^(\w+)=(.*)$', line.strip())
            if m:
                settings.setdefault(m.group(1), []).append(m.group(2))
    return settings


def socket_activated(procs, term, socket_unit, service_unit, bcast, program_path=lambda p: p):
    """Do what systemd does with the two units: bind the socket, run the
    socket's ExecStartPost, hand the socket on descriptor 0 to the service's
    ExecStart, then (after one broadcast) the socket's ExecStopPost."""
    sock, service = unit_settings(socket_unit), unit_settings(service_unit)
    port = sock['ListenDatagram'][0]
    start_post = [program_path(w) for w in shlex.split(sock['ExecStartPost'][0])]
    stop_post = [program_path(w) for w in shlex.split(sock['ExecStopPost'][0])]
    daemon = [program_path(w) for w in shlex.split(service['ExecStart'][0])]
    seen = {'port': port, 'standard_input': service.get('StandardInput')}
    activate = procs.start(['systemd-socket-activate', '--inetd', '--datagram',
                            '-l', port, *daemon])
    # systemd runs ExecStartPost once the socket is bound; so do we.
    seen['bound'] = wait_until(lambda: udp_port_taken(port), 20)
    seen['start_post'] = text(sh(start_post))
    seen['mapped'] = wall_mappings()
    seen.update(broadcast(bcast, term))
    seen['daemon_exit'] = activate.wait(timeout=30) if wait_until(
        lambda: activate.poll() is not None, 30) else None
    seen['stop_post'] = text(sh(stop_post))
    seen['mapped_after_stop'] = wall_mappings()
    seen['bad_port'] = text(sh([start_post[0], 'set', port + 'x']))
    seen['mapped_after_bad_port'] = wall_mappings()
    return seen


def scene_socket(build):
    """The build tree's bcastd, bcastd-portmap and units."""
    procs = Processes()
    try:
        portmapper(procs)
        term = Terminal()
        here = {'bcastd': os.path.join(build, 'broadcast', 'bcastd'),
                'bcastd-portmap': os.path.join(build, 'broadcast', 'bcastd-portmap')}
        return socket_activated(
            procs, term, os.path.join(build, 'broadcast', 'bcastd.socket'),
            os.path.join(build, 'broadcast', 'bcastd.service'),
            os.path.join(build, 'broadcast', 'bcast'),
            lambda w: here.get(os.path.basename(w), w) if w.startswith('/') else w)
    finally:
        procs.close()


# Near misses of a port number: each must be refused before the portmapper
# is asked anything.
NOT_PORTS = [' 1033', '1033 ', '\t1033', '+1034', '-1033', '0x409', '1e3', '1033\n', '\u0661\u0660']


def scene_portmap(build):
    """bcastd-portmap against our rpcbind: unset with nothing mapped, set,
    unset by a user who may not (the mapping is root's), unset, and unset
    with no portmapper at all; and the ports it must not take."""
    helper = os.path.join(build, 'broadcast', 'bcastd-portmap')
    nobody = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups']
    procs = Processes()
    seen = {}
    try:
        rpcbind = portmapper(procs)
        seen['not_ports'] = {a: text(sh([helper, 'set', a])) for a in NOT_PORTS}
        seen['mapped_after_not_ports'] = wall_mappings()
        seen['unset_unmapped'] = text(sh([helper, 'unset']))
        seen['set'] = text(sh([helper, 'set', '01033']))
        seen['mapped'] = wall_mappings()
        seen['unset_not_allowed'] = text(sh(nobody + [helper, 'unset']))
        seen['mapped_after_refusal'] = wall_mappings()
        seen['unset'] = text(sh([helper, 'unset']))
        seen['mapped_after_unset'] = wall_mappings()
        procs.stop(rpcbind)
        seen['unset_no_portmapper'] = text(sh([helper, 'unset']))
        return seen
    finally:
        procs.close()


def overlay_root(tmp):
    """/ under an overlay whose changes go to a tmpfs, with the kernel's file
    systems and a private /run and /tmp mounted inside."""
    sh(['mount', '-t', 'tmpfs', '-o', 'mode=755', 'scratch', tmp], check=True)
    upper, work, root = (os.path.join(tmp, d) for d in ('upper', 'work', 'root'))
    for d in (upper, work, root):
        os.mkdir(d)
    sh(['mount', '-t', 'overlay', 'overlay', '-o',
        'lowerdir=/,upperdir=%s,workdir=%s' % (upper, work), root], check=True)
    sh(['mount', '-t', 'proc', 'proc', os.path.join(root, 'proc')], check=True)
    sh(['mount', '--rbind', '/dev', os.path.join(root, 'dev')], check=True)
    sh(['mount', '--rbind', '/sys', os.path.join(root, 'sys')], check=True)
    for d in ('run', 'tmp'):
        sh(['mount', '-t', 'tmpfs', '-o', 'mode=1777' if d == 'tmp' else 'mode=755', d,
            os.path.join(root, d)], check=True)
    return root


def installed_programs(seen):
    seen['cplxcalc'] = text(sh(['cplxcalc', '1', '1']))
    seen['profcalc'] = text(sh(['profcalc', '0', '1', '1']))
    seen['vexil'] = text(sh(['vexil', '-m', 'fcntl', '-e',
                             'f = open("/etc/passwd", O_RDONLY); fcntl_setfd(f, FD_CLOEXEC)\n'
                             'print(fcntl_getfd(f), fcntl_getfl(f) & O_ACCMODE == O_RDONLY)']))
    seen['ccfacts'] = text(sh(['ccfacts', '--cc', 'gcc', '--cxx', 'g++', '--json']))
    with open('/tmp/consumer.c', 'w') as f:
        f.write(calcref.CONSUMER)
    flags = sh(['pkg-config', '--cflags', '--libs', 'kerb'])
    seen['pkg_config'] = text(flags)
    build = sh(['sh', '-c', 'cc -std=c99 -pedantic -Werror -o /tmp/consumer /tmp/consumer.c '
                + flags.stdout.decode().strip()])
    seen['consumer_build'] = text(build)
    seen['consumer'] = text(sh(['/tmp/consumer'])) if build.returncode == 0 else None


def inetd_entries():
    with open('/etc/inetd.conf') as f:
        return [line.rstrip('\n') for line in f if 'bcastd' in line]


def scene_install(tmp, debs):
    """dpkg -i the packages into an overlay of /, then use them there as
    installed: inetd from its own inetd.conf, the systemd units as systemd
    would run them, the programs, and a libkerb consumer; then remove and
    purge bcastd."""
    procs = Processes()
    seen = {}
    try:
        root = overlay_root(tmp)
        os.makedirs(os.path.join(root, 'tmp', 'debs'))
        for deb in debs:
            shutil.copy(deb, os.path.join(root, 'tmp', 'debs'))
        os.chroot(root)
        os.chdir('/')
        # No service of the machine is started or reloaded from in here.
        with open('/usr/sbin/policy-rc.d', 'w') as f:
            f.write('#!/bin/sh\nexit 101\n')
        os.chmod('/usr/sbin/policy-rc.d', 0o755)
        names = [os.path.basename(d) for d in debs]
        seen['dpkg_install'] = text(sh(['dpkg', '-i', *['/tmp/debs/' + n for n in names]],
                                       timeout=300))
        seen['status'] = sh(['dpkg-query', '-W', '-f', '${Package} ${Status}\n']
                            + [n.split('_')[0] for n in names]).stdout.decode()
        seen['inetd_conf'] = inetd_entries()
        seen['enabled_units'] = sorted(
            os.path.join(d, f) for d, _, fs in os.walk('/etc/systemd/system')
            for f in fs if f.startswith('bcastd'))
        seen['verify'] = text(sh(['systemd-analyze', 'verify', '/lib/systemd/system/bcastd.socket',
                                  '/lib/systemd/system/bcastd.service']))

        portmapper(procs)
        term = Terminal()
        inetd = procs.start(['inetd', '-d', '/etc/inetd.conf'])
        seen['inetd_mapped'] = wait_until(wall_mappings, 20) and wall_mappings()
        seen['inetd'] = broadcast('bcast', term)
        procs.stop(inetd)
        sh(['rpcinfo', '-d', '100008', '1'])
        seen['systemd'] = socket_activated(procs, term, '/lib/systemd/system/bcastd.socket',
                                           '/lib/systemd/system/bcastd.service', 'bcast')
        installed_programs(seen)

        # An administrator turns the entry off and the package is upgraded
        # (installed again over itself: prerm upgrade, postinst configure).
        bcastd = ['/tmp/debs/' + n for n in names if n.startswith('bcastd_')]
        sh(['update-inetd', '--disable', 'walld/1'])
        seen['dpkg_upgrade'] = text(sh(['dpkg', '-i', *bcastd]))
        seen['inetd_conf_upgraded_off'] = inetd_entries()
        sh(['update-inetd', '--enable', 'walld/1'])

        seen['dpkg_remove'] = text(sh(['dpkg', '-r', 'bcastd']))
        seen['inetd_conf_removed'] = inetd_entries()
        seen['dpkg_reinstall'] = text(sh(['dpkg', '-i', *bcastd]))
        seen['inetd_conf_reinstalled'] = inetd_entries()
        sh(['dpkg', '-r', 'bcastd'])
        seen['dpkg_purge'] = text(sh(['dpkg', '--purge', 'bcastd']))
        seen['inetd_conf_purged'] = inetd_entries()
        seen['var_lib_purged'] = os.path.exists('/var/lib/bcastd')
        return seen
    finally:
        procs.close()


def main():
    scene, args = sys.argv[1], sys.argv[2:]
    if scene == 'socket':
        seen = scene_socket(*args)
    elif scene == 'portmap':
        seen = scene_portmap(*args)
    else:
        seen = scene_install(args[0], args[1:])
    json.dump(seen, sys.stdout, indent=1)


if __name__ == '__main__':
    main()
