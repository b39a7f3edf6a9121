# SPDX-License-Identifier: ISC
"""The amd64 packages built again from the source package that `make deb`
made, in another directory, under another umask, time zone and locale:
every .deb, the dbgsym packages included, must be the same bytes as
build/deb's.  What a build may differ in is the date (dpkg-buildpackage
takes SOURCE_DATE_EPOCH from debian/changelog), the path (the compiler's
-ffile-prefix-map) and the order in which things happen."""

import glob
import hashlib
import os
import subprocess

import pytest

from buildlib import ROOT

DEB = os.path.join(ROOT, 'build', 'deb')
DSC = sorted(glob.glob(os.path.join(DEB, 'sharp-tools_*.dsc')))

pytestmark = pytest.mark.skipif(not DSC, reason='no source package in build/deb: make deb')


def digests(folder):
    found = {}
    for deb in glob.glob(os.path.join(folder, '*_amd64.deb')):
        with open(deb, 'rb') as f:
            found[os.path.basename(deb)] = hashlib.sha256(f.read()).hexdigest()
    return found


def members(deb):
    """path -> md5 of each file in a package, to say where two differ."""
    listing = subprocess.run(['dpkg-deb', '--ctrl-tarfile', deb], capture_output=True).stdout
    data = subprocess.run(['sh', '-c', 'dpkg-deb --fsys-tarfile "$0" | tar -xOf - --to-command='
                           '\'printf "%s %s\\n" "$TAR_FILENAME" "$(md5sum | cut -c1-32)"\'', deb],
                          capture_output=True, text=True).stdout
    return hashlib.md5(listing).hexdigest(), sorted(data.splitlines())


@pytest.fixture(scope='module')
def rebuilt(tmp_path_factory):
    top = tmp_path_factory.mktemp('elsewhere')
    src = top / 'somewhere' / 'else'
    src.parent.mkdir(parents=True)
    subprocess.run(['dpkg-source', '-x', DSC[-1], str(src)], check=True,
                   capture_output=True, timeout=300)
    env = dict(os.environ, TZ='Pacific/Kiritimati', LC_ALL='C.UTF-8', LANG='C.UTF-8',
               DEB_BUILD_OPTIONS='parallel=2')
    p = subprocess.run(['sh', '-c', 'umask 0002 && exec dpkg-buildpackage -us -uc -b'],
                       cwd=src, env=env, capture_output=True, text=True, timeout=3000)
    assert p.returncode == 0, p.stdout[-3000:] + p.stderr[-3000:]
    return str(src.parent)


def test_amd64_packages_are_the_same_bytes(rebuilt):
    first, second = digests(DEB), digests(rebuilt)
    assert any('-dbgsym_' in name for name in first), sorted(first)
    assert sorted(first) == sorted(second)
    differ = {name: (members(os.path.join(DEB, name)), members(os.path.join(rebuilt, name)))
              for name in first if first[name] != second[name]}
    assert not differ, {name: [sorted(set(a[1]) ^ set(b[1])), a[0] == b[0]]
                        for name, (a, b) in differ.items()}
