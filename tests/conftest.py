# SPDX-License-Identifier: ISC
"""Fixtures for every suite; the helpers themselves are in buildlib.py."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from buildlib import ROOT  # noqa: E402


def pytest_make_parametrize_id(config, val, argname):
    return str(val) if isinstance(val, str) else None


@pytest.fixture(scope='session')
def root():
    return ROOT
