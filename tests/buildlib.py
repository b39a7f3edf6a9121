# SPDX-License-Identifier: ISC
"""What every pytest suite shares: where the builds are and how to run a
program of a given build (natively, or under qemu-user for a cross build).

Import it as `buildlib`; tests/conftest.py puts this folder on sys.path.
No suite imports `conftest` by name: each folder's conftest.py would
shadow the others'."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN_TARGET = os.path.join(ROOT, 'tools', 'run-target')

sys.path.insert(0, os.path.join(ROOT, 'tools'))
import deliverables  # noqa: E402


# The cross targets each deliverable is built for, from the table the build
# reads too; the host has them all.
CROSS_TARGETS = deliverables.cross_targets(ROOT)


def build_dir(target):
    return os.path.join(ROOT, 'build', target)


def targets_of(deliverable):
    """The builds that must contain a deliverable: host first."""
    return ['host'] + CROSS_TARGETS[deliverable]


def command(target, program, *args):
    """The argument vector that runs PROGRAM (a path) built for TARGET."""
    if target in ('host', 'asan'):
        return [program, *map(str, args)]
    return [RUN_TARGET, target, program, *map(str, args)]


def run(target, program, *args, **kwargs):
    """Run a built program and capture its output as bytes."""
    kwargs.setdefault('capture_output', True)
    kwargs.setdefault('timeout', 120)
    return subprocess.run(command(target, program, *args), **kwargs)
