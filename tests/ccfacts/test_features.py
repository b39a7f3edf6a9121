# SPDX-License-Identifier: ISC
"""Every feature digit that ccfacts reads, under every dialect the compiler
accepts, agrees with whether a snippet using that feature compiles under
that dialect with -pedantic-errors.  Nothing is cached between runs."""

import concurrent.futures
import os
import subprocess

import pytest

from ccfacts_util import (COMPILERS, C_DIALECTS, CXX_DIALECTS, SNIPPETS, ccfacts,
                          ccfacts_args, facts)

# The only disagreements allowed, by compiler, dialect and feature: each is
# a snippet that compiles although the feature list says "0".  Each entry
# must still occur, so that the list cannot go stale.
EXCEPTIONS = {
    ('GNU', 'c++98', 'cxx_func_identifier'):
        'GCC knows __func__ in C++98 as an extension and does not flag it even '
        'with -pedantic-errors; the C++98 list counts only what C++98 has.',
    ('GNU', 'c++98', 'cxx_sizeof_member'):
        'GCC applies the C++11 rule that allows sizeof on a non-static member '
        'without an object to C++98 as well.',
    ('GNU', 'c++98', 'cxx_contextual_conversions'):
        'GCC treats the C++14 contextual conversion through one of several '
        'conversion functions as a fix to every dialect, C++98 included.',
}

WORKERS = 2 * (os.cpu_count() or 1)


def compiles(command, flags, lang, std, path):
    args = [*command, *flags, '-x', lang, *([f'-std={std}'] if std else []),
            '-pedantic-errors', '-fsyntax-only', path]
    return subprocess.run(args, capture_output=True).returncode == 0


def snippets(ext):
    names = sorted(f[:-len(ext)] for f in os.listdir(SNIPPETS) if f.endswith(ext))
    return {n: os.path.join(SNIPPETS, n + ext) for n in names}


def accepts(command, flags, lang, std):
    """Whether the compiler takes the dialect option at all."""
    args = [*command, *flags, '-x', lang, f'-std={std}', '-E', '-o', os.devnull, os.devnull]
    return subprocess.run(args, capture_output=True).returncode == 0


def check_language(pool, name, lang, command, flags, dialects, key, ext):
    """The compiler's id and the mismatches (compiler id, dialect, feature,
    digit, compiled) for one language over every dialect it accepts and its
    default."""
    files = snippets(ext)
    taken = [d for d in dialects if accepts(command, flags, lang, d)]
    for refused in set(dialects) - set(taken):
        std = {'c': ['--std-c', refused], 'c++': ['--std-cxx', refused]}[lang]
        out = ccfacts(*ccfacts_args(name), *std)
        assert out.returncode == 1 and 'feature-probe' in out.stderr
    runs = {d: pool.submit(facts, name, *((d, None) if lang == 'c' else (None, d)))
            for d in [None] + taken}
    results = {(d, f): pool.submit(compiles, command, flags, lang, d, path)
               for d in [None] + taken for f, path in files.items()}
    mismatches = set()
    for d, run in runs.items():
        report = run.result()
        compiler = report['compiler']
        digits = report[key]['features']
        assert sorted(digits) == sorted(files), 'one snippet for every feature'
        for f in files:
            ok = results[(d, f)].result()
            if digits[f] != ok:
                mismatches.add((report['compiler'], d or 'default', f, digits[f], ok))
    return compiler, mismatches


@pytest.mark.parametrize('name', COMPILERS)
def test_feature_digits_agree_with_snippets(name):
    cc, cxx, flags = COMPILERS[name]
    dialects = C_DIALECTS + (CXX_DIALECTS if cxx else [])
    with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
        compiler, found = check_language(pool, name, 'c', cc, flags, C_DIALECTS,
                                         'c_features', '.c')
        if cxx:
            found |= check_language(pool, name, 'c++', cxx, flags, CXX_DIALECTS,
                                    'cxx_features', '.cpp')[1]
    # Exactly the listed exceptions of this compiler: no other disagreement,
    # and none listed that no longer occurs.
    expected = {(cid, d, f, False, True) for cid, d, f in EXCEPTIONS
                if cid == compiler and d in dialects}
    assert found == expected

