#!/usr/bin/env python3
"""Checks the includes of src/ against the layer order in src/LAYERS.md.

    check_layers.py SRC_DIR              the check
    check_layers.py --self-test SRC_DIR  the check, run over copies of SRC_DIR
                                         with one fault planted in each

The check reads the two tables of LAYERS.md: the layers (in order, lowest
first: name, files, what they hold, which layers they may include) and the
seams (an include that runs upward on purpose, or a callback, with the header
that declares it).  It fails, naming src/file:line and from-layer -> to-layer,
on:
  - an include of a layer the including layer may not reach (its own layer,
    the layers its row names, and what those may include in turn),
    unless the table lists that very include as a seam;
  - a source file that no row places, or whose first line is not
    "// layer: <its layer>";
  - an include that names no file of src/ or include/;
  - a row naming a layer that is not in an earlier row;
  - a seam whose include is gone or no longer needs to be a seam, or whose
    declaring header does not say "seam: <name>".
"""
import fnmatch
import os
import re
import shutil
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
LAYER_LINE = re.compile(r'^// layer: (\S+)')
TICKED = re.compile(r'`([^`]+)`')
SOURCE_SUFFIXES = ('.h', '.cpp')


class Table:
    def __init__(self):
        self.order = []          # layer names, lowest first
        self.entries = []        # (pattern, layer)
        self.reach = {}          # layer -> the layers its row names
        self.seams = []          # (name, from file or None, to file or None, declared in)


def cells(line):
    return [c.strip() for c in line.strip().strip('|').split('|')]


def read_table(path, problems):
    table = Table()
    section = None
    for number, line in enumerate(open(path, encoding='utf-8'), 1):
        if not line.lstrip().startswith('|'):
            section = None if not line.strip() else section
            continue
        row = cells(line)
        if row[0] == 'Layer':
            section = 'layers'
            continue
        if row[0] == 'Seam':
            section = 'seams'
            continue
        if set(row[0]) <= set('-: '):
            continue
        where = '%s:%d' % (os.path.basename(path), number)
        if section == 'layers':
            if len(row) != 4:
                problems.append('%s: a layer row has 4 cells' % where)
                continue
            names = TICKED.findall(row[0])
            if len(names) != 1:
                problems.append('%s: a layer row names one layer' % where)
                continue
            layer = names[0]
            if layer in table.reach:
                problems.append('%s: layer %s listed twice' % (where, layer))
            below = set(table.order)
            reach = set()
            for name in TICKED.findall(row[3]):
                if name == '*':
                    reach |= below
                elif name not in below:
                    problems.append('%s: %s may include %s, which is not a layer of an earlier row'
                                    % (where, layer, name))
                else:
                    reach.add(name)
            table.order.append(layer)
            table.reach[layer] = reach
            for pattern in TICKED.findall(row[1]):
                table.entries.append((pattern, layer))
        elif section == 'seams':
            if len(row) != 4:
                problems.append('%s: a seam row has 4 cells' % where)
                continue
            name = TICKED.findall(row[0])
            include = TICKED.findall(row[1])
            declared = TICKED.findall(row[2])
            if len(name) != 1 or len(include) not in (0, 2) or len(declared) != 1:
                problems.append('%s: a seam row names the seam, its include (from, to) or none, '
                                'and the header that declares it' % where)
                continue
            source, target = include if include else (None, None)
            table.seams.append((name[0], source, target, declared[0]))
    if not table.order:
        problems.append('%s: no layer table (a table whose first column is "Layer")' % path)
    return table


def closure(table):
    """The layers each layer may include: its own, its row's, and theirs."""
    allowed = {}
    for layer in table.order:               # lower rows first
        reach = {layer}
        for name in table.reach[layer]:
            reach |= allowed[name]
        allowed[layer] = reach
    return allowed


def layer_of(table, path):
    """The layer of src-relative `path`: a row naming the file (or its stem:
    both the .h and the .cpp) wins over a row's pattern; of two patterns the
    one with more fixed characters in the file name (`*/api.cpp` over
    `maint/*`), then in the whole path, wins."""
    stem = os.path.splitext(path)[0]
    exact = {layer for pattern, layer in table.entries if pattern in (path, stem)}
    if len(exact) == 1:
        return exact.pop(), None
    if len(exact) > 1:
        return None, 'placed in more than one layer: %s' % ', '.join(sorted(exact))
    matches = [((len(pattern.rsplit('/', 1)[-1].replace('*', '')), len(pattern.replace('*', ''))), layer)
               for pattern, layer in table.entries
               if '*' in pattern and fnmatch.fnmatchcase(path, pattern)]
    if not matches:
        return None, 'placed in no layer'
    matches.sort(reverse=True)
    if len(matches) > 1 and matches[0][0] == matches[1][0] and matches[0][1] != matches[1][1]:
        return None, 'placed in more than one layer: %s, %s' % (matches[0][1], matches[1][1])
    return matches[0][1], None


def sources(src):
    found = []
    for root, dirs, files in os.walk(src):
        dirs.sort()
        for name in sorted(files):
            if name.endswith(SOURCE_SUFFIXES):
                found.append(os.path.relpath(os.path.join(root, name), src).replace(os.sep, '/'))
    return found


def resolve(src, public, including, target):
    """The src-relative file an include names, '' for the public header, or None."""
    beside = os.path.normpath(os.path.join(os.path.dirname(including), target)).replace(os.sep, '/')
    if os.path.isfile(os.path.join(src, beside)):
        return beside
    if os.path.isfile(os.path.join(src, target)):
        return os.path.normpath(target).replace(os.sep, '/')
    if os.path.isfile(os.path.join(public, target)):
        return ''
    return None


def check(src):
    """Runs the check over `src`; returns (problems, summary)."""
    problems = []
    layers_md = os.path.join(src, 'LAYERS.md')
    if not os.path.isfile(layers_md):
        return ['%s is missing' % layers_md], ''
    public = os.path.join(os.path.dirname(os.path.abspath(src)), 'include')
    table = read_table(layers_md, problems)
    allowed = closure(table)
    files = sources(src)
    layers = {}
    for path in files:
        layer, why = layer_of(table, path)
        if why:
            problems.append('src/%s: %s (src/LAYERS.md)' % (path, why))
            continue
        layers[path] = layer
        with open(os.path.join(src, path), encoding='utf-8') as stream:
            first = stream.readline()
        named = LAYER_LINE.match(first)
        if not named or named.group(1) != layer:
            problems.append('src/%s:1: first line must be "// layer: %s"' % (path, layer))
    seam_includes = {(s[1], s[2]): s[0] for s in table.seams if s[1]}
    seams_seen = set()
    count = 0
    for path in files:
        if path not in layers:
            continue
        for number, line in enumerate(open(os.path.join(src, path), encoding='utf-8'), 1):
            found = INCLUDE.match(line)
            if not found:
                continue
            count += 1
            target = resolve(src, public, path, found.group(1))
            if target is None:
                problems.append('src/%s:%d: includes "%s", no file of src/ or include/'
                                % (path, number, found.group(1)))
                continue
            if target == '' or target not in layers:
                continue
            source_layer, target_layer = layers[path], layers[target]
            if (path, target) in seam_includes:
                seams_seen.add((path, target))
                if target_layer in allowed[source_layer]:
                    problems.append('src/%s:%d: seam %s: %s -> %s is allowed anyway; '
                                    'drop it from the seams' % (path, number, seam_includes[(path, target)],
                                                               source_layer, target_layer))
                continue
            if target_layer not in allowed[source_layer]:
                problems.append('src/%s:%d: %s -> %s (#include "%s")'
                                % (path, number, source_layer, target_layer, found.group(1)))
    for name, source, target, declared in table.seams:
        if source and (source, target) not in seams_seen:
            problems.append('seam %s: src/%s no longer includes %s' % (name, source, target))
        header = os.path.join(src, declared)
        text = open(header, encoding='utf-8').read() if os.path.isfile(header) else ''
        if not re.search(r'\bseam: %s\b' % re.escape(name), text):
            problems.append('seam %s: src/%s does not say "seam: %s" where it is declared'
                            % (name, declared, name))
    summary = 'layers: %d layers, %d files, %d includes, %d seams, none against the order' % (
        len(table.order), len(files), count, len(table.seams))
    return problems, summary


# Faults planted by the self-test, each in a fresh copy of the tree: what is
# changed, and a text the check must report.
def plant_upward(src):
    lowest = 'frame/iserror.cpp'
    with open(os.path.join(src, lowest), 'a', encoding='utf-8') as stream:
        stream.write('#include "maint/ischeck.h"\n')
    return 'frame/base -> maint (#include "maint/ischeck.h")'


def plant_upward_beside(src):
    path = os.path.join(src, 'index/isnode.cpp')
    with open(path, 'a', encoding='utf-8') as stream:
        stream.write('#include "isindexes.h"\n')
    return 'index/tree -> index/admin'


def plant_unplaced(src):
    os.makedirs(os.path.join(src, 'extra'))
    with open(os.path.join(src, 'extra/isnew.cpp'), 'w', encoding='utf-8') as stream:
        stream.write('// layer: extra\n')
    return 'src/extra/isnew.cpp: placed in no layer'


def plant_wrong_layer_line(src):
    path = os.path.join(src, 'records/isslot.cpp')
    lines = open(path, encoding='utf-8').read().split('\n', 1)
    open(path, 'w', encoding='utf-8').write('// layer: records\n' + lines[1])
    return 'src/records/isslot.cpp:1: first line must be "// layer: records/slot"'


def plant_stale_seam(src):
    path = os.path.join(src, 'lock/isrecord.cpp')
    text = open(path, encoding='utf-8').read()
    open(path, 'w', encoding='utf-8').write(text.replace('#include "frame/ishandles.h"\n', ''))
    return 'no longer includes frame/ishandles.h'


def plant_unmarked_seam(src):
    path = os.path.join(src, 'frame/ishandles.h')
    text = open(path, encoding='utf-8').read()
    open(path, 'w', encoding='utf-8').write(text.replace('seam: handle-close', 'handle-close'))
    return 'seam handle-close: src/frame/ishandles.h does not say'


def plant_upward_row(src):
    path = os.path.join(src, 'LAYERS.md')
    text = open(path, encoding='utf-8').read()
    marker = '| `frame/base` |'
    start = text.index(marker)
    end = text.index('\n', start)
    row = text[start:end]
    last = row.rstrip().rstrip('|').rstrip()
    open(path, 'w', encoding='utf-8').write(text[:start] + last + ' `maint` |' + text[end:])
    return 'frame/base may include maint, which is not a layer of an earlier row'


FAULTS = [plant_upward, plant_upward_beside, plant_unplaced, plant_wrong_layer_line,
          plant_stale_seam, plant_unmarked_seam, plant_upward_row]


def self_test(src):
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        for plant in [None] + FAULTS:
            tree = os.path.join(scratch, 'src')
            shutil.rmtree(tree, ignore_errors=True)
            shutil.copytree(src, tree, ignore=shutil.ignore_patterns('*.o', '.*'))
            public = os.path.join(scratch, 'include')
            if not os.path.exists(public):
                shutil.copytree(os.path.join(os.path.dirname(os.path.abspath(src)), 'include'), public)
            expected = plant(tree) if plant else None
            problems, _ = check(tree)
            name = plant.__name__ if plant else 'the tree as it is'
            if expected is None:
                ok = not problems
            else:
                ok = any(expected in p for p in problems)
            print('%-24s %s' % (name, 'caught' if ok and plant else 'passes' if ok else 'MISSED'))
            if not ok:
                failures += 1
                for p in problems:
                    print('    ' + p)
    return failures


def main(argv):
    if len(argv) == 3 and argv[1] == '--self-test':
        return 1 if self_test(argv[2]) else 0
    if len(argv) != 2:
        print(__doc__)
        return 2
    problems, summary = check(argv[1])
    for p in problems:
        print(p)
    if problems:
        print('%d problems; the layer order and the seams are in src/LAYERS.md' % len(problems))
        return 1
    print(summary)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
