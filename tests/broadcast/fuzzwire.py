# SPDX-License-Identifier: ISC
"""Random and mutated datagrams for the broadcast program: well-formed calls
of every kind, then bit flips, cuts, junk tails and length fields at the
edges.  Deterministic for a given seed."""

import random
import struct

import rpcwire as rw

EDGE_LENGTHS = (0, 1, 3, 4, 5, 0x7fff, 0x8000, 8760, 8800, 0xffff, 0x10000,
                0x7ffffffc, 0x7fffffff, 0x80000000, 0xfffffffc, 0xffffffff)


def _text(rng):
    n = rng.choice((0, 1, 2, 3, 4, 5, rng.randrange(64), rng.randrange(2000)))
    return bytes(rng.randrange(1, 256) for _ in range(n))


def _call(rng):
    kind = rng.randrange(6)
    if kind == 0:
        return rw.null_call()
    if kind == 1:
        return rw.call(rw.WALLPROG, rw.WALLVERS, rng.choice((1, 3, 5, 0xffffffff)))
    if kind == 2:
        return rw.call(rw.WALLPROG, rng.randrange(4), rng.randrange(4), rw.xdr_string(_text(rng)))
    return rw.wall_call(_text(rng))


def _mutate(rng, dg):
    dg = bytearray(dg)
    how = rng.randrange(6)
    if how == 0 and dg:                                   # bit flips
        for _ in range(rng.randrange(1, 8)):
            i = rng.randrange(len(dg))
            dg[i] ^= 1 << rng.randrange(8)
    elif how == 1:                                        # cut anywhere
        del dg[rng.randrange(len(dg) + 1):]
    elif how == 2:                                        # junk tail
        dg += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64)))
    elif how == 3 and len(dg) >= 44:                      # argument length at an edge
        dg[40:44] = struct.pack('>I', rng.choice(EDGE_LENGTHS))
    elif how == 4 and len(dg) >= 40:                      # a word of the header at an edge
        i = 4 * rng.randrange(10)
        dg[i:i + 4] = struct.pack('>I', rng.choice(EDGE_LENGTHS))
    else:                                                 # random bytes
        dg = bytearray(rng.randrange(256) for _ in range(rng.randrange(120)))
    return bytes(dg)


def datagrams(count, seed=1):
    rng = random.Random(seed)
    for _ in range(count):
        dg = _call(rng)
        if rng.random() < 0.8:
            dg = _mutate(rng, dg)
        yield dg


def blast(client, dgs, batch=32, wait=0.05):
    """Send DGS in batches, draining whatever replies come; return how many
    replies arrived (most garbage gets none)."""
    replies = 0
    dgs = list(dgs)
    for i in range(0, len(dgs), batch):
        for dg in dgs[i:i + batch]:
            client.send(dg)
        while client.recv(wait) is not None:
            replies += 1
    return replies
