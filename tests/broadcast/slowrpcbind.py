# SPDX-License-Identifier: ISC
"""A portmapper that answers late, for a network namespace of its own:
rpcbind version 4 GETADDR for program 100008 is answered DELAY seconds
after it arrives, naming a port where program 100008 never answers.  The
call datagrams that port gets are counted in COUNTFILE.

usage: slowrpcbind.py DELAY COUNTFILE"""

import socket
import struct
import sys
import threading
import time

import rpcwire as rw

RPCBVERS4, RPCBPROC_GETADDR = 4, 3


def silent(sock, countfile):
    n = 0
    while True:
        sock.recv(65536)
        n += 1
        with open(countfile, 'w') as f:
            f.write('%d\n' % n)


def main():
    delay, countfile = float(sys.argv[1]), sys.argv[2]
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind(('127.0.0.1', 0))
    port = server.getsockname()[1]
    threading.Thread(target=silent, args=(server, countfile), daemon=True).start()
    pmap = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    pmap.bind(('127.0.0.1', 111))
    uaddr = rw.xdr_string('127.0.0.1.%d.%d' % (port >> 8, port & 0xff))
    while True:
        data, peer = pmap.recvfrom(65536)
        xid, _, _, prog, vers, proc = struct.unpack('>6I', data[:24])
        if (prog, vers, proc) == (rw.PMAPPROG, RPCBVERS4, RPCBPROC_GETADDR):
            time.sleep(delay)
            pmap.sendto(rw.accepted(xid, rw.SUCCESS, uaddr), peer)


if __name__ == '__main__':
    main()
