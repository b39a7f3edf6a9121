# SPDX-License-Identifier: ISC
"""The man pages as a user meets them: every installed program and library
function has its page, each page names what it documents, its SYNOPSIS
takes the words the program's own usage line takes, its examples print
what the programs print, and it reads cleanly to mandoc."""

import glob
import json
import os
import re
import shlex
import subprocess

import pytest

from buildlib import ROOT, build_dir

HOST = build_dir('host')

# a page that names installed paths is a template that Meson fills in
PAGES = sorted(p for pattern in ('*.[1-8]', '*.[1-8].in')
               for p in glob.glob(os.path.join(ROOT, '*', '**', pattern), recursive=True)
               if not os.path.relpath(p, ROOT).startswith('build' + os.sep))


def installed():
    """{installed path: file in the tree} of the host build's install."""
    if not os.path.exists(os.path.join(HOST, 'build.ninja')):
        pytest.skip('the host build is not configured')
    out = subprocess.run(['meson', 'introspect', HOST, '--installed'],
                         capture_output=True, text=True, check=True).stdout
    return {dest: src for src, dest in json.loads(out).items()}


def installed_pages():
    return {os.path.basename(d): s for d, s in installed().items()
            if re.search(r'/man/man[1-8]/[^/]+\.[1-8]$', d)}


# Where a program lies decides the section its page belongs in.
SECTION = {'bin': '1', 'sbin': '8', 'libexec': '8'}


def installed_programs():
    """{name: (built file, section)} of every program the install puts in place."""
    return {os.path.basename(d): (s, SECTION[os.path.basename(os.path.dirname(d))])
            for d, s in installed().items()
            if os.path.basename(os.path.dirname(d)) in SECTION}


def roff_section(page, name):
    """The lines of section NAME (.Sh NAME) of an mdoc page."""
    with open(page) as f:
        lines = f.read().splitlines()
    start = lines.index(f'.Sh {name}') + 1
    end = next((i for i in range(start, len(lines)) if lines[i].startswith('.Sh ')), len(lines))
    return lines[start:end]


def names_of(page):
    """What the NAME section's .Nm lines name."""
    return [line.split()[1] for line in roff_section(page, 'NAME') if line.startswith('.Nm ')]


def test_every_installed_program_and_function_has_its_page():
    pages = installed_pages()
    for program, (_, section) in installed_programs().items():
        assert f'{program}.{section}' in pages, f'{program}: no page in section {section}'
    # each function a library exports is named in a section-3 page
    named = {n for page, src in pages.items() if page.endswith('.3') for n in names_of(src)}
    for dest, src in installed().items():
        if re.fullmatch(r'lib[^/]*\.so\.\d+\.\d+\.\d+', os.path.basename(dest)):
            out = subprocess.run(['nm', '-D', '--defined-only', src],
                                 capture_output=True, text=True, check=True).stdout
            exported = {line.split()[-1] for line in out.splitlines()}
            assert exported and not exported - named, f'{dest}: {sorted(exported - named)}'


@pytest.mark.parametrize('page', [os.path.relpath(p, ROOT) for p in PAGES])
def test_a_page_names_what_it_documents(page):
    path = os.path.join(ROOT, page)
    base = os.path.basename(page).removesuffix('.in')
    name, section = base.rsplit('.', 1)
    with open(path) as f:
        title = re.search(r'^\.Dt (\S+) (\S+)', f.read(), re.M)
    assert title and title.groups() == (name.upper(), section)
    assert names_of(path)[0] == name


def words(text, program):
    """The words a usage line or a SYNOPSIS offers, each with whether it is
    optional (inside brackets); the program's own name is left out."""
    found = set()
    for m in re.finditer(r'-{0,2}[A-Za-z0-9_][A-Za-z0-9_-]*', text):
        if m.group() == program or text[m.start() - 1:m.start()] in ('/', '.'):
            continue
        before = text[:m.start()]
        found.add((m.group(), before.count('[') > before.count(']')))
    return found


def usage_of(program, built):
    # bcast takes its one operand for a host and sends to it; the others
    # answer an unknown option with their usage
    args = [] if program == 'bcast' else ['--no-such-option']
    out = subprocess.run([built, *args], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL, timeout=30)
    text = out.stdout + out.stderr
    assert out.returncode != 0 and 'usage:' in text, f'{program}: {text}'
    usage = text[text.index('usage:') + len('usage:'):]
    return re.sub(r'\S*/' + re.escape(program) + r'\b', program, usage)


def synopsis_of(page):
    text = subprocess.run(['mandoc', '-T', 'ascii', '-O', 'width=400', page],
                          capture_output=True, text=True, check=True).stdout
    text = re.sub(r'.\x08', '', text)
    return text[text.index('SYNOPSIS') + len('SYNOPSIS'):text.index('DESCRIPTION')]


@pytest.mark.parametrize('program', ['bcast', 'bcastd', 'bcastd-portmap', 'cplxcalc', 'profcalc',
                                     'vexil', 'ccfacts'])
def test_synopsis_takes_the_words_of_the_usage_line(program):
    programs, pages = installed_programs(), installed_pages()
    if program not in programs:
        pytest.skip(f'{program} is not built here')
    built, section = programs[program]
    usage = words(usage_of(program, built), program)
    synopsis = words(synopsis_of(pages[f'{program}.{section}']), program)
    assert usage <= synopsis, f'missing from the page: {sorted(usage - synopsis)}'
    # a page may add --help and --version where the usage line leaves them
    # out, if the program answers them
    for word, _ in synopsis - usage:
        assert word in ('--help', '--version'), f'{word}: not in the usage line'
        answer = subprocess.run([built, word], capture_output=True, text=True,
                                stdin=subprocess.DEVNULL, timeout=30)
        assert answer.returncode == 0 and answer.stdout, f'{program} {word}'


def unroff(line):
    return line.replace('\\e', '\\').replace('\\-', '-').replace('\\&', '')


def examples(page):
    """[(command, printed lines)] of the literal blocks of EXAMPLES whose
    lines start with a prompt: a command runs on until its quotes close."""
    with open(page) as f:
        if '.Sh EXAMPLES' not in f.read():
            return []
    found, command, literal = [], None, False
    for line in map(unroff, roff_section(page, 'EXAMPLES')):
        if line.startswith('.Bd -literal'):
            literal = True
        elif line == '.Ed':
            literal = False
        elif literal and command is not None and not command[1] and unbalanced(command[0]):
            command[0] += '\n' + line
        elif literal and line.startswith('$ '):
            command = [line[2:], []]
            found.append(command)
        elif literal and command is not None:
            command[1].append(line)
    return [tuple(c) for c in found]


def unbalanced(command):
    try:
        shlex.split(command)
        return False
    except ValueError:
        return True


def readme_examples(path):
    """[(command, printed lines)] of the README's indented blocks whose lines
    start with a prompt: what follows a command, up to the next prompt or the
    block's end, is what it prints."""
    found, current = [], None
    with open(path) as f:
        for line in f.read().splitlines():
            if line.startswith('    $ '):
                current = (line[6:], [])
                found.append(current)
            elif line.startswith('    ') and current is not None:
                current[1].append(line[4:])
            else:
                current = None
    return found


EXAMPLES = [(os.path.basename(p), c, lines) for p in PAGES for c, lines in examples(p)] + \
    [('README.md', c, lines) for c, lines in readme_examples(os.path.join(ROOT, 'README.md'))]


@pytest.mark.parametrize('page,command,printed', EXAMPLES,
                         ids=[f'{p}: {c.splitlines()[0]}' for p, c, _ in EXAMPLES])
def test_examples_print_what_the_page_shows(page, command, printed, tmp_path):
    argv = shlex.split(command)
    programs = installed_programs()
    assert argv[0] in programs, f'{argv[0]}: not a program of this tree'
    env = dict(os.environ, VEXIL_MODULE_PATH=os.path.join(HOST, 'modules'))
    out = subprocess.run([programs[argv[0]][0], *argv[1:]], capture_output=True, text=True,
                         env=env, cwd=tmp_path, stdin=subprocess.DEVNULL, timeout=60)
    assert out.stdout.splitlines() == printed, out.stderr


def test_the_examples_are_found():
    # the calculators' pages show commands and their output: a change of
    # layout that hid them from the test above would pass unseen
    assert {p for p, _, _ in EXAMPLES} >= {'cplxcalc.1', 'profcalc.1', 'README.md'}


@pytest.mark.parametrize('page', [os.path.relpath(p, ROOT) for p in PAGES])
def test_mandoc_lint_is_clean(page):
    lint = subprocess.run(['mandoc', '-T', 'lint', '-W', 'warning', os.path.join(ROOT, page)],
                          capture_output=True, text=True)
    assert lint.stdout + lint.stderr == ''
    assert lint.returncode == 0
