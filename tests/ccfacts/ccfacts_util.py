# SPDX-License-Identifier: ISC
"""The compilers ccfacts is checked against, and how to ask ccfacts and the
compilers themselves.  (Not a conftest: that name is the top-level one's.)"""

import atexit
import json
import os
import re
import shutil
import subprocess
import tempfile

from buildlib import ROOT, build_dir

CCFACTS = os.path.join(build_dir('host'), 'platform', 'ccfacts', 'ccfacts')
PROBES = os.path.join(ROOT, 'probes')
SNIPPETS = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'snippets')

# name: C compiler, C++ compiler (None: C only), options for every step.
# Clang links for ARM through the GCC cross toolchain's files; with lld the
# absolute paths in its libc.so script must not be put under a sysroot.
COMPILERS = {
    'gcc': (['gcc'], ['g++'], []),
    'clang': (['clang'], ['clang++'], []),
    'mipsel': (['mipsel-linux-gnu-gcc'], ['mipsel-linux-gnu-g++'], []),
    'arm': (['arm-linux-gnueabihf-gcc'], ['arm-linux-gnueabihf-g++'], []),
    'i686': (['i686-linux-gnu-gcc'], ['i686-linux-gnu-g++'], []),
    'mips-be': (['mips-linux-gnu-gcc'], None, []),
    'clang-arm': (['clang', '--target=arm-linux-gnueabihf'],
                  ['clang++', '--target=arm-linux-gnueabihf'],
                  ['-fuse-ld=lld', '-Wl,--sysroot=/']),
}

# Whatever this suite runs keeps its facts in a directory of its own, never
# in the user's cache; a test of the cache itself names its own directory.
_CACHE_HOME = tempfile.mkdtemp(prefix='ccfacts-tests-')
atexit.register(shutil.rmtree, _CACHE_HOME, ignore_errors=True)
os.environ['XDG_CACHE_HOME'] = _CACHE_HOME

C_DIALECTS = ['c90', 'c99', 'c11', 'c17', 'c2x']
CXX_DIALECTS = ['c++98', 'c++11', 'c++14', 'c++17', 'c++20', 'c++2b']


def ccfacts(*args, env=None, cwd=None):
    return subprocess.run([CCFACTS, *args], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=120)


def ccfacts_args(name, std_c=None, std_cxx=None):
    cc, cxx, flags = COMPILERS[name]
    args = ['--cc', ' '.join(cc), '--cxx', ' '.join(cxx) if cxx else 'none']
    if flags:
        args += ['--cflags', ' '.join(flags)]
    if std_c:
        args += ['--std-c', std_c]
    if std_cxx:
        args += ['--std-cxx', std_cxx]
    return args


def facts(name, std_c=None, std_cxx=None):
    """The JSON report of ccfacts for one compiler; fails on any error."""
    out = ccfacts('--json', *ccfacts_args(name, std_c, std_cxx))
    assert out.returncode == 0, out.stderr
    assert out.stderr == ''
    return json.loads(out.stdout)


def macros(command, flags, lang='c', std=None):
    """The compiler's predefined macros, by name."""
    args = [*command, *flags, *([f'-std={std}'] if std else []),
            '-dM', '-E', '-x', lang, '/dev/null']
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    return dict(re.findall(r'#define (\w+)(?: (.*))?', out))
