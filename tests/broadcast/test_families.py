# SPDX-License-Identifier: ISC
"""The service over each address family, in networks of its own: IPv6
only (no 127.0.0.1), IPv4 only (IPv6 disabled, no ::1) and both.  In each,
an rpcbind, bcastd started in each of its three ways (standalone; by inetd
on a fixed port of both families, mapped by bcastd-portmap; and by a
systemd-style socket on [::], likewise), bcast to a name that the network
resolves (from its own /etc/hosts), and a login's terminal that must show
the message through the distribution's wall."""

import os
import shlex
import subprocess
import tempfile
import time

import pytest

import harness
import terminals
from buildlib import command, targets_of
from clientlib import bcast_path

PORT = 1033

# name -> (setup of the loopback, /etc/hosts, the names bcast is given)
NETWORKS = {
    'ipv6-only': ('ip addr del 127.0.0.1/8 dev lo',
                  '::1 localhost v6host\n', ['v6host', '::1']),
    'ipv4-only': ('echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6; '
                  'echo 1 > /proc/sys/net/ipv6/conf/lo/disable_ipv6',
                  '127.0.0.1 localhost v4host\n', ['v4host']),
    'dual-stack': ('', '127.0.0.1 localhost both\n::1 localhost both\n', ['both']),
}

SCRIPT = r'''
set -e
ip link set lo up
eval "$NET_SETUP"
mount --bind "$RUN_DIR" /run
mount --bind "$HOSTS" /etc/hosts
rpcbind -f -w & pids=$!
trap 'rc=$?; set +e; kill $pids 2>/dev/null; wait 2>/dev/null; exit $rc' EXIT
n=0; until rpcinfo -p >/dev/null 2>&1; do n=$((n+1)); [ $n -lt 200 ]; sleep 0.05; done
case $MODE in
standalone)
	$BCASTD -n & pids="$pids $!"
	n=0; until rpcinfo -p 2>/dev/null | grep -qw 100008; do
		n=$((n+1)); [ $n -lt 400 ]; sleep 0.05; done ;;
inetd)
	inetd -d "$INETD_CONF" 2>/dev/null & pids="$pids $!"
	$PORTMAP set $PORT ;;
socket)
	systemd-socket-activate --datagram --inetd -l $PORT $BCASTD 2>/dev/null & pids="$pids $!"
	$PORTMAP set $PORT ;;
esac
# inetd and the socket activator listen on the port (hex 0409) when ready
if [ "$MODE" != standalone ]; then
	n=0; until cat /proc/net/udp /proc/net/udp6 2>/dev/null | grep -q ':0409 '; do
		n=$((n+1)); [ $n -lt 400 ]; sleep 0.05; done
fi
if [ -n "$SILENCE_IPV4" ]; then
	# the IPv4 mapping now leads to a socket that never answers
	rpcinfo -d -T udp 100008 1
	/usr/bin/python3 -c "$SILENT" & pids="$pids $!"
fi
sleep 0.5
rpcinfo 2>/dev/null | grep -w 100008 | awk '{print "mapped", $3}' >&2 || :
for host in $NAMES; do
	printf 'to %s by %s\n' "$host" "$MODE" | $BCAST "$host" || echo "bcast $host failed: $?" >&2
done
'''


# A UDP socket on 127.0.0.1 that reads nothing, mapped for udp.
SILENT = r'''
import socket, sys, time
sys.path[:0] = [%r, %r]
import rpcwire as rw
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 0))
with rw.Client(111) as c:
    c.rpc(rw.PMAPPROG, rw.PMAPVERS, 1, rw.u32(rw.WALLPROG) + rw.u32(rw.WALLVERS)
          + rw.u32(rw.IPPROTO_UDP) + rw.u32(s.getsockname()[1]))
time.sleep(120)
''' % (os.path.dirname(os.path.abspath(__file__)), os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run_in_network(network, mode, server, client, term, tmp, silence_ipv4=False):
    setup, hosts, names = NETWORKS[network]
    if mode == 'socket':
        names = names[:1]       # the stand-in for systemd serves one start
    hosts_file = os.path.join(tmp, 'hosts')
    with open(hosts_file, 'w') as f:
        f.write(hosts)
    bcastd = command(server, harness.program(server, 'bcastd'))
    conf = os.path.join(tmp, 'inetd.conf')
    with open(conf, 'w') as f:
        f.write('%d\tdgram\tudp\twait\troot\t%s\t%s\n' % (
            PORT, bcastd[0], ' '.join([os.path.basename(bcastd[0])] + bcastd[1:])))
    env = dict(os.environ, NET_SETUP=setup, RUN_DIR=term.dir, HOSTS=hosts_file,
               MODE=mode, PORT=str(PORT), INETD_CONF=conf, NAMES=' '.join(names),
               BCASTD=shlex.join(bcastd),
               BCAST=shlex.join(command(client, bcast_path(client))),
               PORTMAP=harness.program('host', 'bcastd-portmap'),
               SILENCE_IPV4='1' if silence_ipv4 else '', SILENT=SILENT)
    p = subprocess.run(['unshare', '-m', '-n', '--propagation', 'private', 'sh', '-c', SCRIPT],
                       env=env, capture_output=True, timeout=240, start_new_session=True)
    return p, names


CASES = [(net, mode, server, 'host') for net in NETWORKS
         for mode in ('standalone', 'inetd', 'socket') for server in targets_of('bcastd')]
CASES += [('ipv6-only', 'standalone', 'host', t) for t in targets_of('bcast') if t != 'host']


@pytest.mark.parametrize('network,mode,server,client', CASES)
def test_message_reaches_the_terminal(network, mode, server, client):
    term = terminals.Terminal()
    tmp = tempfile.mkdtemp(prefix='families.')
    try:
        p, names = run_in_network(network, mode, server, client, term, tmp)
        err = p.stderr.decode(errors='replace')
        last = ('to %s by %s' % (names[-1], mode)).encode()
        shown = term.read(last, timeout=5).replace(b'\r', b'')
        assert p.returncode == 0, err
        assert 'failed' not in err, err
        for host in names:
            assert b'to %s by %s' % (host.encode(), mode.encode()) in shown, (host, shown, err)
        assert term.refused() == b''
        mapped = {line.split()[1] for line in err.splitlines() if line.startswith('mapped')}
        # a family the network lacks is neither served nor mapped
        assert mapped == ({'udp'} if network == 'ipv4-only' else {'udp', 'udp6'}), err
    finally:
        term.close()
        subprocess.run(['rm', '-rf', tmp])


@pytest.mark.parametrize('client', targets_of('bcast'))
def test_ipv6_first_and_within_the_bound(client):
    """A name with both addresses is reached over IPv6 first: with the IPv4
    mapping leading to a socket that never answers, the message still
    arrives, at once."""
    term = terminals.Terminal()
    tmp = tempfile.mkdtemp(prefix='families.')
    try:
        start = time.monotonic()
        p, _ = run_in_network('dual-stack', 'standalone', 'host', client, term, tmp,
                              silence_ipv4=True)
        took = time.monotonic() - start
        shown = term.read(b'to both by standalone', timeout=5)
        assert p.returncode == 0 and b'failed' not in p.stderr, p.stderr
        assert b'to both by standalone' in shown
        assert took < 20, took
    finally:
        term.close()
        subprocess.run(['rm', '-rf', tmp])
