#!/usr/bin/env python3
"""Checks that every folder of lib/ includes only its own floor and the floors
beneath it, and that every folder of lib/ has a place in the order.

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

INCLUDE = re.compile(r'^\s*#\s*include\s*["<]lib/([^/">]+)/')


def check(root):
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
        own = FLOORS.index(folder)
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
                        target = match.group(1)
                        if target not in FLOORS:
                            failures.append("%s:%d: %s (lib/%s has no floor)" % (shown, number, line.strip(), target))
                        elif FLOORS.index(target) > own:
                            failures.append("%s:%d: %s (lib/%s is above lib/%s)"
                                            % (shown, number, line.strip(), target, folder))
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
