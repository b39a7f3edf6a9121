# SPDX-License-Identifier: ISC
"""tools/summary alone decides the line `make check` ends with: run it on
crafted results (meson's test logs, pytest's report and the exit statuses
the Makefile keeps) and hold it to its rule that a missing result is a
failure, never a silent zero."""

import json
import os
import re
import subprocess
import sys

import pytest

from buildlib import ROOT

SUMMARY = os.path.join(ROOT, 'tools', 'summary')


class Tree:
    """A tree of results as `make check` leaves them, under tmp_path."""

    def __init__(self, top):
        self.top = top
        # the summary looks for a result from every suite folder
        (top / 'tests' / 'kerb').mkdir(parents=True)
        (top / 'tests' / 'kerb' / 'test_a.py').write_text('')

    def meson(self, build, results, defined=None, status=0, log=True):
        """A build whose `meson test` logged RESULTS ({name: result}) and
        exited with STATUS; DEFINED (default: the names logged) is what the
        build holds."""
        bdir = self.top / 'build' / build
        (bdir / 'meson-info').mkdir(parents=True, exist_ok=True)
        (bdir / 'meson-logs').mkdir(exist_ok=True)
        names = results.keys() if defined is None else defined
        (bdir / 'meson-info' / 'intro-tests.json').write_text(
            json.dumps([{'name': n} for n in names]))
        if log:
            (bdir / 'meson-logs' / 'testlog.json').write_text(
                ''.join(json.dumps({'name': n, 'result': r}) + '\n' for n, r in results.items()))
        if status is not None:
            (bdir / 'meson-test.status').write_text(f'{status}\n')
        return bdir

    def pytest(self, cases, status=0, report=True):
        """pytest's JUnit report of CASES [(classname, name, outcome)], outcome
        'pass', 'fail', 'error' or a skip's reason, and its exit status."""
        (self.top / 'build').mkdir(exist_ok=True)
        body = []
        for classname, name, outcome in cases:
            inner = {'pass': '', 'fail': '<failure message="assert 0"/>',
                     'error': '<error message="fixture"/>'}.get(
                outcome, f'<skipped message="{outcome}"/>')
            body.append(f'<testcase classname="{classname}" name="{name}">{inner}</testcase>')
        if report:
            (self.top / 'build' / 'pytest.xml').write_text(
                '<?xml version="1.0"?><testsuites><testsuite name="pytest">'
                + ''.join(body) + '</testsuite></testsuites>')
        if status is not None:
            (self.top / 'build' / 'pytest.status').write_text(f'{status}\n')

    def summary(self, *builds):
        out = subprocess.run([sys.executable, SUMMARY, '--top', str(self.top), *builds],
                             capture_output=True, text=True, timeout=60)
        lines = out.stdout.splitlines()
        assert out.stderr == '', out.stderr
        last = re.fullmatch(r'(\d+) passed, (\d+) failed(?:, (\d+) skipped)?', lines[-1])
        assert last, f'no closing line: {out.stdout}'
        npassed, nfailed, nskipped = (int(g or 0) for g in last.groups())
        # the exit status and the closing line agree
        assert (out.returncode != 0) == (nfailed != 0), out.stdout
        return npassed, nfailed, nskipped, out.stdout


KERB_CASES = [('tests.kerb.test_a', 'test_same[mips]', 'pass'),
              ('tests.kerb.test_a', 'test_same[arm]', 'pass'),
              ('tests.kerb.test_a', 'test_b', 'pass')]


@pytest.fixture
def tree(tmp_path):
    return Tree(tmp_path)


def test_a_clean_run_counts_every_result_on_its_target(tree):
    tree.meson('host', {'kerb-accuracy': 'OK', 'kerb-exp': 'OK'})
    tree.meson('mips', {'kerb-accuracy': 'OK'})
    tree.pytest(KERB_CASES)
    npassed, nfailed, nskipped, out = tree.summary('host', 'mips')
    assert (npassed, nfailed, nskipped) == (6, 0, 0)
    assert re.search(r'^  host +3 passed, 0 failed$', out, re.M), out
    assert re.search(r'^  mips +2 passed, 0 failed$', out, re.M), out
    assert re.search(r'^  arm +1 passed, 0 failed$', out, re.M), out


def test_a_missing_log_fails_every_test_the_build_defines(tree):
    tree.meson('host', {'kerb-accuracy': 'OK'})
    tree.meson('arm', {'kerb-accuracy': 'OK', 'kerb-exp': 'OK'}, log=False)
    tree.pytest(KERB_CASES)
    npassed, nfailed, _, out = tree.summary('host', 'arm')
    assert nfailed == 2
    assert 'FAILED (arm): kerb-accuracy: meson test left no result' in out
    assert 'FAILED (arm): kerb-exp: meson test left no result' in out


@pytest.mark.parametrize('builds', [('host', 'fuzz'), ('fuzz',)])
def test_any_list_of_builds_is_held_to_the_same_rule(tree, builds):
    # a build added to the Makefile's list counts like the others, and one
    # that was never configured is a failure, not a silent nothing
    tree.meson('host', {'kerb-accuracy': 'OK'})
    tree.pytest(KERB_CASES)
    _, nfailed, _, out = tree.summary(*builds)
    assert nfailed == 1
    assert 'FAILED (fuzz): the build was never configured' in out
    tree.meson('fuzz', {'replay-corpus': 'OK'})
    npassed, nfailed, _, out = tree.summary(*builds)
    assert nfailed == 0 and npassed == 3 + len(builds)


@pytest.mark.parametrize('crash,says', [
    # meson killed after its last test passed: a log that is all passes, but
    # short by the tests it never reached, and a status that is not 0
    (dict(results={'a': 'OK'}, defined=['a', 'b'], status=-9), 'b: meson test left no result'),
    # a test that died of a signal or ran out of time, and meson's status 1
    (dict(results={'a': 'OK', 'b': 'FAIL'}, status=1), 'b (FAIL)'),
    (dict(results={'a': 'OK', 'b': 'TIMEOUT'}, status=1), 'b (TIMEOUT)'),
    # meson died without a word: a status but no failure in the log
    (dict(results={'a': 'OK', 'b': 'OK'}, status=139), 'meson test exited with status 139'),
    # meson never got to run at all
    (dict(results={'a': 'OK', 'b': 'OK'}, status=None), 'meson test did not run'),
], ids=['killed', 'test-crashed', 'timeout', 'status-only', 'no-status'])
def test_a_crashed_meson_run_fails(tree, crash, says):
    tree.meson('host', **crash)
    tree.pytest(KERB_CASES)
    _, nfailed, _, out = tree.summary('host')
    assert out.splitlines()[0] == f'FAILED (host): {says}'
    assert nfailed == 1


def test_a_log_cut_off_mid_line_fails_and_still_closes(tree):
    bdir = tree.meson('host', {'a': 'OK', 'b': 'OK'}, status=-9)
    log = bdir / 'meson-logs' / 'testlog.json'
    log.write_text(log.read_text()[:-12])
    tree.pytest(KERB_CASES)
    npassed, nfailed, _, out = tree.summary('host')
    assert npassed == 1 + 3 and nfailed >= 1
    assert 'unreadable line' in out


@pytest.mark.parametrize('status,report', [(139, True), (139, False), (None, True), (2, True)],
                         ids=['crashed', 'crashed-no-report', 'no-status', 'interrupted'])
def test_a_crashed_pytest_fails_whatever_its_report_says(tree, status, report):
    tree.meson('host', {'a': 'OK'})
    tree.pytest(KERB_CASES, status=status, report=report)
    _, nfailed, _, _ = tree.summary('host')
    assert nfailed >= 1


def test_pytest_failures_are_counted_on_their_target(tree):
    tree.meson('host', {'a': 'OK'})
    tree.meson('arm', {'a': 'OK'})
    tree.pytest(KERB_CASES + [('tests.kerb.test_a', 'test_c[arm]', 'fail'),
                              ('tests.kerb.test_a', 'test_d[host-to-mips]', 'error')], status=1)
    _, nfailed, _, out = tree.summary('host', 'arm')
    assert nfailed == 2
    assert 'FAILED (arm): tests.kerb.test_a::test_c[arm]' in out
    assert 'FAILED (mips): tests.kerb.test_a::test_d[host-to-mips]' in out
    # pytest's status 1 with a report of no failure: the report lost some
    tree.pytest(KERB_CASES, status=1)
    _, nfailed, _, out = tree.summary('host', 'arm')
    assert nfailed == 1 and 'report does not hold' in out


def test_pytest_that_found_no_tests_fails(tree):
    # pytest's status 5: it collected nothing, and its report is empty
    tree.meson('host', {'a': 'OK'})
    tree.pytest([], status=5)
    _, nfailed, _, out = tree.summary('host')
    assert 'pytest exited with status 5' in out
    assert 'no test of tests/kerb ran' in out
    assert nfailed == 2


def test_a_skipped_target_is_counted_as_skipped_and_fails_when_nothing_else_ran(tree):
    tree.meson('host', {'a': 'OK'})
    tree.meson('mips', {'a': 'SKIP'})
    tree.pytest(KERB_CASES[2:] + [('tests.kerb.test_a', 'test_same[mips]', 'mips: kerb-digest not built'),
                                  ('tests.kerb.test_a', 'test_other[mips]', 'mips: kerb-digest not built')])
    npassed, nfailed, nskipped, out = tree.summary('host', 'mips')
    assert (npassed, nskipped) == (2, 3)
    assert 'FAILED (mips): no test ran on this target' in out and nfailed == 1
    assert re.search(r'^ +2 skipped: mips: kerb-digest not built$', out, re.M), out
    # one test of the target that did run: skips are reported, not failed
    tree.meson('mips', {'a': 'OK', 'b': 'SKIP'})
    npassed, nfailed, nskipped, _ = tree.summary('host', 'mips')
    assert (npassed, nfailed, nskipped) == (3, 0, 3)


def test_a_suite_folder_of_which_no_test_ran_fails(tree):
    (tree.top / 'tests' / 'probes').mkdir()
    (tree.top / 'tests' / 'probes' / 'test_p.py').write_text('')
    tree.meson('host', {'a': 'OK'})
    tree.pytest(KERB_CASES)
    _, nfailed, _, out = tree.summary('host')
    assert nfailed == 1 and 'no test of tests/probes ran' in out
