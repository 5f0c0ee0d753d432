#!/usr/bin/env python3
"""The layering check on small trees: one fault of each kind is found and
named by file and line; a tree that keeps the rules passes.

Usage: check_layers_test.py SCRIPT (scripts/check-layers.py)
"""
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = None

# A tree that keeps every rule, the faults are added to copies of it.
CLEAN = {
    "include/tarvocoil.hpp": "",
    "base/allocator.h": '#include "tarvocoil.h"\n',
    "detect/sweep.h": '#include "base/allocator.h"\n#include "areas/rasterise.h"\n',
    "areas/rasterise.h": '#include "image/seed_fill.h"\n',
    "image/seed_fill.h": "",
    "api/context.h": '#include "detect/sweep.h"\n',
    "host/areas_file.h": '#include "tarvocoil.hpp"\n#include <nlohmann/json.hpp>\n',
    "host/areas_file.cpp": '#include "host/areas_file.h"\n// CLI::App in a comment is no use of CLI11\n',
    "tools/loop/frame_loop.h": '#include "host/areas_file.h"\n',
    "tools/media/video_reader.h": '#include "tools/loop/frame_loop.h"\n',
    "tools/evidence/tune.h": '#include "tools/media/video_reader.h"\n',
    "tools/cli/main.cpp": '#include <CLI/CLI.hpp>\n#include "tools/evidence/tune.h"\nCLI::App app;\n',
    "python/src/module.cpp": '#include "host/areas_file.h"\n',
    "gst/drawing.cpp": '#include "host/areas_file.h"\n#include "gst/drawing.h"\n',
    "gst/drawing.h": "",
    "tests/tool/run_test.cpp": '#include "tools/evidence/tune.h"\n',
}

# Each fault: the file it goes into, its text, the line the check must name
# and a word of its message.
FAULTS = {
    "lower layer includes a higher one": ("detect/engine.cpp", '#include "base/allocator.h"\n#include "api/context.h"\n',
                                          2, "api/context.h"),
    "host includes tools": ("host/trace_record.cpp", '\n#include "tools/loop/frame_loop.h"\n', 2, "tools/loop"),
    "python includes tools": ("python/src/areas_arg.cpp", '#include "tools/media/video_reader.h"\n', 1, "tools/media"),
    "gst includes tools": ("gst/settings.cpp", '#include "gst/drawing.h"\n\n\n#include "tools/cli/main.h"\n', 4,
                           "tools/cli"),
    "tool folders in the wrong order": ("tools/loop/progress.cpp", '#include "tools/evidence/tune.h"\n', 1,
                                        "tools/evidence"),
    "CLI11 included outside cli": ("tools/evidence/plot.cpp", '#include "tools/evidence/tune.h"\n#include <CLI/CLI.hpp>\n',
                                   2, "CLI11"),
    "CLI11 named outside cli": ("tools/live/live_source.h", "namespace CLI {\nclass App;\n}\n", 1, "CLI11"),
    "bare name in a host layer": ("tools/media/review.cpp", '#include "video_reader.h"\n', 1, "bare name"),
    "bare name in the gst element": ("gst/coil_set.cpp", '#include "drawing.h"\n', 1, "bare name"),
}


def write_tree(root, files):
    for rel, text in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)


def run_check(root):
    p = subprocess.run([sys.executable, SCRIPT, root], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       universal_newlines=True)
    return p.returncode, p.stdout.splitlines()


class CheckLayers(unittest.TestCase):
    def test_clean_tree_passes(self):
        with tempfile.TemporaryDirectory() as root:
            write_tree(root, CLEAN)
            code, lines = run_check(root)
            self.assertEqual((code, lines), (0, []))

    def test_each_fault_fails_naming_file_and_line(self):
        for kind, (rel, text, line, word) in FAULTS.items():
            with self.subTest(kind), tempfile.TemporaryDirectory() as root:
                write_tree(root, dict(CLEAN, **{rel: text}))
                code, lines = run_check(root)
                self.assertEqual(code, 1, kind)
                self.assertEqual(len(lines), 1, "%s: %s" % (kind, lines))
                self.assertTrue(lines[0].startswith("%s:%d: " % (rel, line)), "%s: %s" % (kind, lines[0]))
                self.assertIn(word, lines[0], kind)

    def test_all_faults_at_once_are_all_named(self):
        with tempfile.TemporaryDirectory() as root:
            faulty = dict(CLEAN)
            for rel, text, _, _ in FAULTS.values():
                faulty[rel] = text
            write_tree(root, faulty)
            code, lines = run_check(root)
            self.assertEqual(code, 1)
            named = sorted({line.split(":")[0] for line in lines})
            self.assertEqual(named, sorted({rel for rel, _, _, _ in FAULTS.values()}))


if __name__ == "__main__":
    SCRIPT = sys.argv.pop(1)
    unittest.main()
