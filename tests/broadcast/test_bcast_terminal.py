# SPDX-License-Identifier: ISC
"""The whole service, from bcast to a logged-in terminal: a pseudo-terminal
registered in a private utmp, the real wall, bcastd standalone or under
the real openbsd-inetd, and the client and the daemon of either build."""

import os
import re
import subprocess

import pytest

import harness
import terminals
from clientlib import bcast_cmd, header, in_namespace, tz_for

PAIRS = [('host', 'host'), ('host', 'mips'), ('mips', 'host')]    # (bcast, bcastd)


@pytest.fixture
def terminal(rpc_lock):
    harness.unregister()
    term = terminals.Terminal()
    yield term
    term.close()
    harness.unregister()


@pytest.mark.parametrize('mode', ['standalone', 'inetd'])
@pytest.mark.parametrize('client,server', PAIRS)
def test_terminal_shows_message(client, server, mode, terminal):
    """bcast localhost with a body: a login's terminal (0620 user:tty)
    shows wall's banner, then the two BELs, the header and the body; the
    terminal of a login that said mesg n shows nothing."""
    if mode == 'standalone':
        daemon = harness.Daemon(server, binds=[terminal.bind()])
        ready = daemon.answering_port
    else:
        daemon = harness.Inetd(server, binds=[terminal.bind()])
        ready = lambda: harness.wait_until(harness.rpcinfo_ports, 10)   # noqa: E731
    try:
        assert ready()
        body = b'lunch at noon, %s to %s via %s\nbring a plate\n' % (
            client.encode(), server.encode(), mode.encode())
        p = subprocess.run(in_namespace(bcast_cmd(client, 'localhost'), hostname='sender'),
                           input=body, capture_output=True, timeout=60,
                           env=dict(os.environ, TZ=tz_for(21, 7)))
        assert (p.returncode, p.stdout, p.stderr) == (0, b'', b'')
        shown = terminal.read(b'bring a plate' + b' ' * 66 + b'\r')
    finally:
        daemon.stop()
    # After its own banner wall pads each line with blanks to 79 columns and
    # ends it CR LF (the terminal then adds a CR of its own).
    text = b'\n'.join(line.rstrip(b' \r') for line in shown.split(b'\n'))
    want = header('root', 'sender', 'no tty', '21:07') + body
    assert re.search(rb'Broadcast message from \S+', text), shown
    assert b'\a\a' + want in text, shown
    assert terminal.refused() == b''
