# SPDX-License-Identifier: ISC
"""The table of which cross target builds each deliverable, as the build
reads it from cross/deliverables: one line a deliverable, its name then
its targets (none for a host-only deliverable), # starting a comment.
Used by the test suites (tests/buildlib.py)."""

import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def cross_targets(root=ROOT):
    """{deliverable: [cross target, ...]}; the host builds them all."""
    table = {}
    with open(os.path.join(root, 'cross', 'deliverables')) as f:
        for line in f:
            words = line.split()
            if words and not words[0].startswith('#'):
                table[words[0]] = words[1:]
    return table
