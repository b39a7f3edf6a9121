# SPDX-License-Identifier: ISC
"""The amd64 packages through piuparts, as Debian tests packages before
they enter the archive: in a fresh Debian 12 chroot, installed and
purged; then the previous build's packages (build/deb/previous, which
`make deb` keeps; the same build again on a first run) installed by apt
from a local repository and upgraded to these, removed and purged; each
step checked for failing maintainer scripts and for files left behind.
The chroot's base is debootstrapped once and kept in build/piuparts."""

import glob
import os
import shutil
import subprocess

import pytest

from buildlib import ROOT

DEB = os.path.join(ROOT, 'build', 'deb')
BASE = os.path.join(ROOT, 'build', 'piuparts', 'bookworm.tar.gz')
MIRROR = 'http://deb.debian.org/debian'


def packages(folder):
    return sorted(d for d in glob.glob(os.path.join(folder, '*_amd64.deb')) if '-dbgsym_' not in d)


DEBS = packages(DEB)

pytestmark = pytest.mark.skipif(not DEBS, reason='no packages in build/deb: make deb')


@pytest.fixture(scope='module')
def log(tmp_path_factory):
    tmp = tmp_path_factory.mktemp('piuparts')
    repo = tmp / 'previous'
    repo.mkdir()
    for deb in packages(os.path.join(DEB, 'previous')) or DEBS:
        shutil.copy(deb, repo)
    with open(repo / 'Packages', 'w') as f:
        subprocess.run(['dpkg-scanpackages', '.'], cwd=repo, stdout=f, check=True,
                       stderr=subprocess.DEVNULL)
    os.makedirs(os.path.dirname(BASE), exist_ok=True)
    base = ['-b', BASE] if os.path.exists(BASE) else ['-s', BASE]
    logfile = tmp / 'piuparts.log'
    p = subprocess.run(['piuparts', '-d', 'bookworm', '-m', MIRROR, *base,
                        '--tmpdir', str(tmp), '-l', str(logfile),
                        '--bindmount', str(repo),
                        '--extra-repo', 'deb [trusted=yes] file://%s ./' % repo,
                        *DEBS], capture_output=True, text=True, timeout=3000)
    text = logfile.read_text() if logfile.exists() else p.stdout + p.stderr
    assert p.returncode == 0, text[-6000:]
    return text


def test_install_and_purge(log):
    assert 'PASS: Installation and purging test.' in log, log[-3000:]


def test_upgrade_from_the_previous_build_then_remove_and_purge(log):
    # piuparts runs this only when apt knows the packages: our repository
    assert 'PASS: Installation, upgrade and purging tests.' in log, log[-3000:]
