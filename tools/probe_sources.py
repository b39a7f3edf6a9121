# SPDX-License-Identifier: ISC
"""The probe sources, as the build reads them from probes/sources: one a
line, in ccfacts' order, # starting a comment.  Shared by tests/probes,
tests/fuzz/mkseeds and bench/ccfacts."""

import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def probe_sources(root=ROOT):
    """The sources that are compiled, each a probe, in ccfacts' order (the
    headers they include left out)."""
    sources = []
    with open(os.path.join(root, 'probes', 'sources')) as f:
        for line in f:
            words = line.split()
            if words and not words[0].startswith('#') and not words[0].endswith('.h'):
                sources.append(words[0])
    return sources
