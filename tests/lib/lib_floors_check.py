#!/usr/bin/env python3
"""Checks that every folder of lib/ includes only its own floor and the floors
beneath it, that every folder of lib/ has a place in the order, and that
lib/ includes nothing of the programs built on it (bin/, tools/, tests/).
An include is judged by the file it finds, however it is written
("lib/ops/x.h", "../ops/x.h", "./lib/ops/x.h", a bare name beside the
including file).

    lib_floors_check.py <source root>

Prints each offending include with its file and line and exits 1; exits 0
when there is none. Run by CTest as the test lib_floors.
"""
import os
import re
import sys

# The floors of lib/, bottom first. A folder includes its own floor and the
# floors before it in this list, never one after it.
FLOORS = ["core", "ostreladb", "client", "ns", "fetch", "kernel", "requests", "ops", "view"]

# Folders of the tree that lib/ never includes: they are built on lib/.
ABOVE_LIB = ["bin", "tests", "tools"]

INCLUDE = re.compile(r'^\s*#\s*include\s*(["<])([^">]+)[">]')


def resolve(root, source, quote, name):
    """The included file's path from the root ("lib/ops/x.h"), as the
    compiler finds it: a quoted name beside the including file first, then
    under the root (the one include directory of lib/); an angle-bracket
    name under the root only. A link counts as the file it leads to. A name
    found nowhere is taken as from the root (the include fails to compile
    anyway, or names a generated or system header); None when that leaves
    the tree."""
    places = [os.path.dirname(source)] if quote == '"' else []
    places.append(root)
    for place in places:
        candidate = os.path.join(place, name)
        if os.path.isfile(candidate):
            return inside(root, os.path.realpath(candidate))
    return inside(root, os.path.join(root, name))


def inside(root, path):
    """`path` from the root with "/" between its names, or None outside it."""
    relative = os.path.relpath(os.path.normpath(path), root)
    if relative == ".." or relative.startswith(".." + os.sep):
        return None
    return relative.replace(os.sep, "/")


def offence(target, folder):
    """Why lib/<folder> may not include the file `target` (a path from the
    root), or None when it may."""
    parts = target.split("/")
    if parts[0] in ABOVE_LIB:
        return "%s/ is built on lib/, never included by it" % parts[0]
    if parts[0] != "lib" or len(parts) < 3:
        return None
    if parts[1] not in FLOORS:
        return "lib/%s has no floor" % parts[1]
    if FLOORS.index(parts[1]) > FLOORS.index(folder):
        return "lib/%s is above lib/%s" % (parts[1], folder)
    return None


def check(root):
    root = os.path.realpath(root)
    lib = os.path.join(root, "lib")
    failures = []
    sources = 0
    for folder in sorted(os.listdir(lib)):
        path = os.path.join(lib, folder)
        if not os.path.isdir(path):
            continue
        if folder not in FLOORS:
            failures.append("lib/%s/: a folder without a floor (give it its place in FLOORS)" % folder)
            continue
        for directory, _, files in sorted(os.walk(path)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                sources += 1
                source = os.path.join(directory, name)
                shown = os.path.relpath(source, root)
                with open(source, encoding="utf-8", errors="replace") as text:
                    for number, line in enumerate(text, 1):
                        match = INCLUDE.match(line)
                        if match is None:
                            continue
                        target = resolve(root, source, match.group(1), match.group(2))
                        why = None if target is None else offence(target, folder)
                        if why is None:
                            continue
                        found = "" if target == match.group(2) else target + ": "
                        failures.append("%s:%d: %s (%s%s)" % (shown, number, line.strip(), found, why))
    return sources, failures


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: lib_floors_check.py <source root>\n")
        return 2
    sources, failures = check(sys.argv[1])
    if failures:
        print("lib/ includes a floor above its own (the floors, bottom first: %s):" % ", ".join(FLOORS))
        for failure in failures:
            print("  " + failure)
        return 1
    print("lib/: %d sources, each including only its own floor and those beneath it" % sources)
    return 0


if __name__ == "__main__":
    sys.exit(main())
