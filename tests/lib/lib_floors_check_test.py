#!/usr/bin/env python3
"""Tests of lib_floors_check.py on small trees made for each case: every way
of writing an include that reaches a floor above, a folder without a floor,
or a program built on lib/ is refused; includes that stay on their floor or
go down are not.

    lib_floors_check_test.py      (run by CTest as lib_floors_check_test)
"""
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lib_floors_check  # noqa: E402

# Files of every tree: one header on each of two floors, one in a folder of
# lib/ that has no floor, and one in each program folder above lib/.
TREE = {
    "lib/core/ostrelagent_base.h": "",
    "lib/core/ostrelagent_beside.h": "",
    "lib/ops/ostrelagent_op.h": "",
    "tools/korva/korva_tool.h": "",
    "tests/lib/lib_helper.h": "",
    "bin/agent_main.h": "",
    "ostrelagent_root.h": "",
}


class FloorsCheckTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="floors-check-")
        self.addCleanup(shutil.rmtree, self.root)
        for path, text in TREE.items():
            self.write(path, text)

    def write(self, path, text):
        full = os.path.join(self.root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)

    def failures_of(self, source, include):
        """The check's failures for a tree where `source` holds one include
        line."""
        self.write(source, include + "\n")
        return lib_floors_check.check(self.root)[1]

    def test_refuses_every_form_of_an_include_from_above(self):
        cases = [
            # (including file, include line, what the failure names)
            ("lib/core/a.cpp", '#include "lib/ops/ostrelagent_op.h"', "lib/ops is above lib/core"),
            ("lib/core/a.cpp", "#include <lib/ops/ostrelagent_op.h>", "lib/ops is above lib/core"),
            ("lib/core/a.cpp", '#include "../ops/ostrelagent_op.h"', "lib/ops is above lib/core"),
            ("lib/core/a.cpp", '#include "./lib/ops/ostrelagent_op.h"', "lib/ops is above lib/core"),
            ("lib/core/a.cpp", '#include "../../lib/ops/ostrelagent_op.h"', "lib/ops is above lib/core"),
            ("lib/core/deep/a.h", '#include "../../ops/ostrelagent_op.h"', "lib/ops is above lib/core"),
            ("lib/core/a.cpp", '  #  include "lib/ops/ostrelagent_op.h" // spaced', "lib/ops is above lib/core"),
            ("lib/core/a.cpp", '#include "lib/ops/not_written_yet.h"', "lib/ops is above lib/core"),
            ("lib/core/a.cpp", '#include "lib/extra/ostrelagent_x.h"', "lib/extra has no floor"),
            ("lib/core/a.cpp", '#include "../../tools/korva/korva_tool.h"', "tools/ is built on lib/"),
            ("lib/core/a.cpp", '#include "tools/korva/korva_tool.h"', "tools/ is built on lib/"),
            ("lib/ops/a.cpp", '#include "tests/lib/lib_helper.h"', "tests/ is built on lib/"),
            ("lib/ops/a.cpp", '#include "../../tests/lib/lib_helper.h"', "tests/ is built on lib/"),
            ("lib/ops/a.cpp", '#include "bin/agent_main.h"', "bin/ is built on lib/"),
        ]
        for source, include, why in cases:
            with self.subTest(source=source, include=include):
                failures = self.failures_of(source, include)
                self.assertEqual(len(failures), 1, failures)
                self.assertIn(source + ":1:", failures[0])
                self.assertIn(why, failures[0])
                os.remove(os.path.join(self.root, source))

    def test_a_quoted_name_is_found_beside_the_including_file_first(self):
        # As the compiler finds it: the file beside the including one (here
        # a folder of lib/core that happens to be named lib/ops) before the
        # one under the root.
        self.write("lib/core/lib/ops/ostrelagent_op.h", "")
        self.assertEqual(self.failures_of("lib/core/a.cpp", '#include "lib/ops/ostrelagent_op.h"'), [])
        # An angle-bracket name is looked for under the root only.
        failures = self.failures_of("lib/core/b.cpp", "#include <lib/ops/ostrelagent_op.h>")
        self.assertEqual(len(failures), 1, failures)
        self.assertIn("lib/ops is above lib/core", failures[0])

    def test_a_link_counts_as_the_file_it_leads_to(self):
        os.symlink(os.path.join(self.root, "lib/ops/ostrelagent_op.h"),
                   os.path.join(self.root, "lib/core/ostrelagent_alias.h"))
        failures = self.failures_of("lib/core/a.cpp", '#include "ostrelagent_alias.h"')
        self.assertEqual(len(failures), 1, failures)
        self.assertIn("lib/ops/ostrelagent_op.h: lib/ops is above lib/core", failures[0])

    def test_accepts_includes_of_the_own_floor_and_those_beneath(self):
        cases = [
            ("lib/core/a.cpp", '#include "ostrelagent_beside.h"'),
            ("lib/core/a.cpp", '#include "./ostrelagent_beside.h"'),
            ("lib/core/a.cpp", '#include "lib/core/ostrelagent_base.h"'),
            ("lib/ops/a.cpp", '#include "lib/core/ostrelagent_base.h"'),
            ("lib/ops/a.cpp", '#include "../core/ostrelagent_base.h"'),
            ("lib/ops/a.cpp", "#include <lib/core/ostrelagent_base.h>"),
            ("lib/ops/a.cpp", '#include "ostrelagent_root.h"'),
            ("lib/ops/a.cpp", "#include <string>"),
            ("lib/ops/a.cpp", '#include "platform/qel/qel.h"'),
            ("lib/ops/a.cpp", '// #include "lib/view/x.h" is not an include'),
        ]
        for source, include in cases:
            with self.subTest(source=source, include=include):
                self.assertEqual(self.failures_of(source, include), [])
                os.remove(os.path.join(self.root, source))

    def test_a_folder_of_lib_without_a_floor_fails(self):
        self.write("lib/extra/ostrelagent_x.h", "")
        failures = lib_floors_check.check(self.root)[1]
        self.assertEqual(len(failures), 1, failures)
        self.assertIn("lib/extra/: a folder without a floor", failures[0])


if __name__ == "__main__":
    unittest.main()
