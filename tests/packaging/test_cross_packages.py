# SPDX-License-Identifier: ISC
"""The packages of the 32-bit targets unpacked into a root of their own,
with the target's C library and (for MIPS) libtirpc beside them as their
Depends would bring them, and run from there under qemu-user with -L that
root: the programs find libkerb.so.1, libtirpc and the fcntl module only
where the packages put them.  A C program is built against the unpacked
libkerb-dev with pkg-config and run the same way.  Needs the packages:
`make deb`."""

import glob
import os
import shutil
import subprocess

import pytest

import calcref
from buildlib import CROSS_TARGETS, ROOT

DEB = os.path.join(ROOT, 'build', 'deb')
ARCHES = {  # Debian architecture: (qemu, GNU type, multiarch directory)
    'mipsel': ('qemu-mipsel', 'mipsel-linux-gnu', 'mipsel-linux-gnu'),
    'armhf': ('qemu-arm', 'arm-linux-gnueabihf', 'arm-linux-gnueabihf'),
    'i386': ('qemu-i386', 'i686-linux-gnu', 'i386-linux-gnu'),
}
BUILD_OF = {'mipsel': 'mips', 'armhf': 'arm', 'i386': 'x86'}

def debs(arch):
    return sorted(d for d in glob.glob(os.path.join(DEB, '*_%s.deb' % arch))
                  if '-dbgsym_' not in d)


@pytest.fixture(scope='module', params=sorted(ARCHES))
def target(request, tmp_path_factory):
    arch = request.param
    if not debs(arch):
        pytest.skip('no %s packages in build/deb: make deb' % arch)
    qemu, gnu_type, multiarch = ARCHES[arch]
    root = tmp_path_factory.mktemp(arch)
    for deb in debs(arch):
        subprocess.run(['dpkg-deb', '-x', deb, str(root)], check=True)
    # What libc6, libstdc++6, libgcc-s1 and libtirpc3 of the target bring.
    subprocess.run(['cp', '-a', '/usr/%s/lib/.' % gnu_type, str(root / 'lib')], check=True)
    sysroot = os.path.join(ROOT, 'build', 'sysroot-%s' % arch, 'usr', 'lib', multiarch)
    if os.path.isdir(sysroot):
        for lib in glob.glob(os.path.join(sysroot, '*.so.*')):
            shutil.copy(lib, root / 'usr' / 'lib' / multiarch, follow_symlinks=False)
    packages = {os.path.basename(d).split('_')[0] for d in debs(arch)}
    return arch, qemu, gnu_type, multiarch, root, packages


def run_in(target, program, *args):
    arch, qemu, _, _, root, _ = target
    return subprocess.run([qemu, '-L', str(root), '-0', program, str(root) + program, *args],
                          capture_output=True, text=True, timeout=120)


def test_calculators(target):
    packages = target[5]
    assert packages & {'cplxcalc', 'profcalc'}, packages
    if 'cplxcalc' in packages:
        calcref.check_cplxcalc_1_1(run_in(target, '/usr/bin/cplxcalc', '1', '1').stdout)
    if 'profcalc' in packages:
        calcref.check_profcalc_0_1_1(run_in(target, '/usr/bin/profcalc', '0', '1', '1').stdout)


def test_broadcast_programs_and_vexil(target):
    packages = target[5]
    # a target without the broadcast programs must be one the table says so of
    build = BUILD_OF[target[0]]
    expected = {name for name in ('bcast', 'bcastd', 'vexil') if build in CROSS_TARGETS[name]}
    assert expected == packages & {'bcast', 'bcastd', 'vexil'}
    if not expected:
        return
    # Each loads libtirpc.so.3 from the root before it can say this.
    p = run_in(target, '/usr/bin/bcast')
    assert (p.returncode, p.stderr) == (1, 'usage: /usr/bin/bcast hostname [file]\n')
    p = run_in(target, '/usr/sbin/bcastd', '-x')
    assert (p.returncode, p.stdout) == (1, 'usage: /usr/sbin/bcastd [-n]\n')
    p = run_in(target, '/usr/libexec/bcastd-portmap')
    assert (p.returncode, p.stderr) == (1, 'usage: bcastd-portmap set port | unset\n')
    # qemu-user applies -L to open() but not to statx(), with which the
    # host looks at a module before loading it: name the packaged module
    # directory by its host path, and check that it is the one built in.
    arch, _, _, multiarch, root, _ = target
    modules = '/usr/lib/%s/vexil/modules' % multiarch
    assert os.path.isfile(str(root) + modules + '/fcntl-module.so')
    with open(str(root) + '/usr/bin/vexil', 'rb') as f:
        assert b'\0' + modules.encode() + b'\0' in f.read()
    p = run_in(target, '/usr/bin/vexil', '-P', str(root) + modules, '-m', 'fcntl', '-e',
               'f = open("/etc/passwd", O_RDONLY); fcntl_setfd(f, FD_CLOEXEC)\n'
               'print(fcntl_getfd(f), fcntl_getfl(f) & O_ACCMODE == O_RDONLY)')
    assert (p.returncode, p.stdout, p.stderr) == (0, '1 1\n', '')


def test_consumer_of_libkerb_dev(target, tmp_path):
    arch, qemu, gnu_type, multiarch, root, packages = target
    assert {'libkerb1', 'libkerb-dev'} <= packages
    env = dict(os.environ, PKG_CONFIG_SYSROOT_DIR=str(root),
               PKG_CONFIG_LIBDIR=str(root / 'usr' / 'lib' / multiarch / 'pkgconfig'))
    flags = subprocess.run(['pkg-config', '--cflags', '--libs', 'kerb'], env=env,
                           capture_output=True, text=True, check=True).stdout.split()
    src = tmp_path / 'consumer.c'
    src.write_text(calcref.CONSUMER)
    exe = tmp_path / 'consumer'
    cc = subprocess.run(['%s-gcc' % gnu_type, '-std=c99', '-pedantic', '-Werror', str(src),
                         '-o', str(exe), *flags], capture_output=True, text=True)
    assert cc.returncode == 0, cc.stderr
    out = subprocess.run([qemu, '-L', str(root), str(exe)], capture_output=True, text=True,
                         timeout=120, check=True).stdout
    calcref.check_consumer(out)
