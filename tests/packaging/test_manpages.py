# SPDX-License-Identifier: ISC
"""Every man page in the tree reads cleanly to mandoc: no warning or worse
(unknown macros, sections out of order, words taken for macros)."""

import glob
import os
import subprocess

import pytest

from buildlib import ROOT

# a page that names installed paths is a template that Meson fills in
PAGES = sorted(p for pattern in ('*.[1-8]', '*.[1-8].in')
               for p in glob.glob(os.path.join(ROOT, '*', '**', pattern), recursive=True)
               if not os.path.relpath(p, ROOT).startswith('build' + os.sep))


def test_the_tree_has_pages():
    assert len(PAGES) >= 8


@pytest.mark.parametrize('page', [os.path.relpath(p, ROOT) for p in PAGES])
def test_mandoc_lint_is_clean(page):
    lint = subprocess.run(['mandoc', '-T', 'lint', '-W', 'warning', os.path.join(ROOT, page)],
                          capture_output=True, text=True)
    assert lint.stdout + lint.stderr == ''
    assert lint.returncode == 0
