#!/usr/bin/env python3
"""scripts/check-layers.py against small trees with planted faults, each in a temporary
directory of its own."""
import importlib.util
import io
import os
import shutil
import tempfile
import unittest
from contextlib import redirect_stdout

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("check_layers", os.path.join(HERE, "..", "..", "scripts",
                                                                           "check-layers.py"))
layers = importlib.util.module_from_spec(spec)
spec.loader.exec_module(layers)


class Tree:
    """A source tree of files whose content is only their #include lines."""

    def __init__(self, files):
        self.root = tempfile.mkdtemp(prefix="layers-")
        for path, includes in files.items():
            full = os.path.join(self.root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w") as f:
                f.write("// test file\n#pragma once\n")
                for inc in includes:
                    f.write(f'#include "{inc}"\n')
                f.write("#include <string>\n")

    def problems(self):
        return layers.check(self.root)

    def run_main(self):
        out = io.StringIO()
        with redirect_stdout(out):
            rc = layers.main(["check-layers.py", self.root])
        return rc, out.getvalue()

    def close(self):
        shutil.rmtree(self.root)


# A tree laid out as the real one is, with every layer and nothing wrong.
CLEAN = {
    "shared/abi.h": [],
    "platform/gmem.h": ["shared/abi.h"],
    "platform/gmem.cpp": ["platform/gmem.h"],
    "interp/base/instance.h": ["shared/abi.h"],
    "interp/base/keywords.inc": [],
    "interp/base/keywords.h": ["interp/base/keywords.inc"],
    "interp/data/heap.h": ["interp/base/instance.h"],
    "interp/data/heap.cpp": ["interp/data/heap.h", "platform/gmem.h"],
    "interp/front/loader.h": ["interp/base/instance.h"],
    "interp/front/loader.cpp": ["interp/front/loader.h", "interp/data/heap.h"],
    "interp/api/builtin.h": ["interp/data/heap.h"],
    "interp/api/services.h": ["interp/base/instance.h"],
    "interp/run/exec.h": ["interp/front/loader.h", "interp/api/services.h"],
    "interp/run/exec.cpp": ["interp/run/exec.h", "interp/api/builtin.h"],
    "interp/abi/exports.cpp": ["interp/run/exec.h"],
    "lib/str.cpp": ["interp/api/builtin.h", "interp/api/services.h", "interp/data/heap.h", "strutil.h"],
    "lib/strutil.h": ["interp/base/keywords.h"],
    "host/main.cpp": ["shared/abi.h", "platform/gmem.h", "host/pages.h"],
    "host/pages.h": [],
}


def tree_with(changes):
    files = {k: list(v) for k, v in CLEAN.items()}
    for path, includes in changes.items():
        files.setdefault(path, []).extend(includes)
    return Tree(files)


class CheckLayers(unittest.TestCase):
    def check_tree(self, changes):
        t = tree_with(changes)
        try:
            return t.problems()
        finally:
            t.close()

    def test_clean_tree_passes(self):
        t = Tree(CLEAN)
        try:
            rc, out = t.run_main()
        finally:
            t.close()
        self.assertEqual(rc, 0, out)
        self.assertIn("no include cycles", out)

    def test_folder_cycle_names_both_files(self):
        problems = self.check_tree({"interp/front/loader.cpp": ["interp/run/exec.h"]})
        cycle = [p for p in problems if p.startswith("include cycle between folders")]
        self.assertEqual(len(cycle), 1, problems)
        self.assertIn("interp/front/loader.cpp includes interp/run/exec.h", cycle[0])
        self.assertIn("interp/run/exec.h includes interp/front/loader.h", cycle[0])
        # The same edge also goes up a layer.
        self.assertTrue(any("interp/front may not include interp/run" in p for p in problems))

    def test_cycle_through_lib_is_found(self):
        # The router reaching into lib/ while lib/ uses the interpreter's internals.
        problems = self.check_tree({"interp/run/exec.cpp": ["lib/strutil.h"],
                                    "lib/strutil.h": ["interp/run/exec.h"]})
        self.assertTrue(any(p.startswith("include cycle between folders") and "lib" in p for p in problems),
                        problems)
        self.assertTrue(any("interp/run/exec.cpp includes lib/strutil.h" in p for p in problems))

    def test_header_cycle_in_one_folder(self):
        problems = self.check_tree({"interp/data/heap.h": ["interp/data/vars.h"],
                                    "interp/data/vars.h": ["interp/data/heap.h"]})
        self.assertEqual(len(problems), 1, problems)
        self.assertEqual("include cycle between headers interp/data/heap.h -> interp/data/vars.h -> interp/data/heap.h",
                         problems[0])
        # A source including its header back is no cycle.
        self.assertEqual(self.check_tree({"interp/data/vars.h": [], "interp/data/vars.cpp": ["interp/data/vars.h"]}),
                         [])

    def test_header_including_itself(self):
        problems = self.check_tree({"interp/data/heap.h": ["interp/data/heap.h"]})
        self.assertEqual(len(problems), 1, problems)

    def test_include_outside_the_layer_order_without_cycle(self):
        # front/ and api/ both sit on data/; neither may use the other.
        problems = self.check_tree({"interp/front/loader.cpp": ["interp/api/services.h"]})
        self.assertEqual(problems, ["interp/front/loader.cpp includes interp/api/services.h: "
                                    "interp/front may not include interp/api"])

    def test_lib_beyond_public_interface(self):
        problems = self.check_tree({"lib/str.cpp": ["interp/run/exec.h"]})
        self.assertEqual(problems, ["lib/str.cpp includes interp/run/exec.h: "
                                    "lib/ uses only the interpreter's public interface"])
        # data/ is public only for its listed headers.
        problems = self.check_tree({"lib/str.cpp": ["interp/data/vars.h"], "interp/data/vars.h": []})
        self.assertEqual(len(problems), 1, problems)
        # A header named but not in the tree is still judged by its folder.
        problems = self.check_tree({"lib/strutil.h": ["interp/front/missing.h"]})
        self.assertEqual(len(problems), 1, problems)

    def test_host_never_includes_the_interpreter(self):
        for target in ("interp/base/instance.h", "interp/api/builtin.h", "lib/strutil.h"):
            with self.subTest(target=target):
                problems = self.check_tree({"host/pages.h": [target]})
                self.assertEqual(len(problems), 1, problems)
                self.assertIn("host/pages.h includes " + target + ": the host reaches the interpreter only "
                              "through shared/", problems[0])

    def test_file_outside_the_layers(self):
        problems = self.check_tree({"interp/stray.cpp": ["interp/base/instance.h"],
                                    "interp/extra/thing.h": []})
        self.assertIn("interp/stray.cpp: interp is not a layer of the interpreter (docs/layers.md)", problems)
        self.assertIn("interp/extra/thing.h: interp/extra is not a layer of the interpreter (docs/layers.md)",
                      problems)

    def test_main_reports_failure_with_count(self):
        t = tree_with({"interp/front/loader.cpp": ["interp/run/exec.h"]})
        try:
            rc, out = t.run_main()
        finally:
            t.close()
        self.assertEqual(rc, 1)
        self.assertIn("layers: 2 problem(s)", out)


if __name__ == "__main__":
    unittest.main()
