# SPDX-License-Identifier: ISC
"""Running Vexil scripts with the real host of a build, with the built
modules (and the test helpers beside this file's build output) on its
module path, natively or under qemu-user."""

import os
import subprocess

import pytest

from buildlib import build_dir, command, targets_of

TARGETS = targets_of('vexil')


class Vexil:
    def __init__(self, target):
        self.target = target
        self.build = build_dir(target)
        self.program = os.path.join(self.build, 'platform', 'vexil', 'vexil')
        self.module = os.path.join(self.build, 'modules', 'fcntl-module.so')
        self.helpers = os.path.join(self.build, 'tests', 'vexil')
        self.path = os.path.join(self.build, 'modules') + ':' + self.helpers

    def run(self, script, modules=('fcntl', 'stack'), env=None, shim=None,
            path=True, pass_fds=()):
        """Run SCRIPT (-e) with MODULES loaded.  SHIM, a number, preloads the
        fcntl shim with that many interruptions per call."""
        args = ['-P', self.path] if path else []
        for m in modules:
            args += ['-m', m]
        full_env = {k: v for k, v in os.environ.items()
                    if not k.startswith(('VEXIL_', 'FCNTL_SHIM', 'QEMU_', 'LD_PRELOAD'))}
        full_env.update(env or {})
        if shim is not None:
            lib = os.path.join(self.helpers, 'fcntl-shim.so')
            full_env['FCNTL_SHIM_EINTR'] = str(shim)
            # A MIPS library must be preloaded in the guest, not into qemu.
            if self.target == 'host':
                full_env['LD_PRELOAD'] = lib
            else:
                full_env['QEMU_SET_ENV'] = 'LD_PRELOAD=' + lib
        return subprocess.run(command(self.target, self.program, *args, '-e', script),
                              capture_output=True, text=True, env=full_env,
                              pass_fds=pass_fds, timeout=60)

    def ok(self, script, **kw):
        """Run a script that must succeed; its output lines."""
        r = self.run(script, **kw)
        assert r.returncode == 0, r.stderr
        return r.stdout.splitlines()


@pytest.fixture(params=TARGETS)
def vexil(request):
    v = Vexil(request.param)
    if not os.path.exists(v.program):
        pytest.fail(f'{v.program} is not built')
    return v
