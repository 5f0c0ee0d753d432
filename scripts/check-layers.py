#!/usr/bin/env python3
"""check-layers.py - fails when a source file includes across a layer boundary.

Usage: check-layers.py [ROOT]   (ROOT: the repository, default: this script's parent)

Every quoted include is read as a path from the repository root
("host/areas_file.h") and must land in a layer its file's layer may use
(LAYERS below). Besides:
  - CLI11 (<CLI/...> or the CLI:: namespace) only in tools/cli/;
  - no quoted include by bare name ("common.h") in the host layers, except
    the public headers of include/, which hosts include as users of the
    installed library do.
Each violation is printed as FILE:LINE: what; the exit status is 1 when there
is any, 0 otherwise. Only the standard library: runs under Debian's python3.
"""
import os
import re
import sys

# The one table of the rules: each layer, the folders that are it, and the
# layers its files may include besides their own. The first layer whose
# folder starts a file's path is the file's layer (so longer folders first).
# Lower layers never name higher ones; hosts reach the detector through
# include/ (the public API) only.
CORE = ["include", "base", "image", "areas", "detect", "api"]
LAYERS = [
    # name,            folders,             may include
    ("include",        ["include"],         []),
    ("base",           ["base"],            ["include"]),
    ("image",          ["image"],           ["base", "include"]),
    ("areas",          ["areas"],           ["image", "base", "include"]),
    ("detect",         ["detect"],          ["areas", "image", "base", "include"]),
    ("api",            ["api"],             ["detect", "areas", "image", "base", "include"]),
    ("host",           ["host"],            ["include"]),
    ("tools/loop",     ["tools/loop"],      ["host", "include"]),
    ("tools/media",    ["tools/media"],     ["tools/loop", "host", "include"]),
    ("tools/events",   ["tools/events"],    ["tools/loop", "host", "include"]),
    ("tools/live",     ["tools/live"],      ["tools/events", "tools/media", "tools/loop", "host", "include"]),
    ("tools/evidence", ["tools/evidence"],  ["tools/events", "tools/media", "tools/loop", "host", "include"]),
    ("tools/demo",     ["tools/demo"],      ["tools/evidence", "tools/events", "tools/media", "tools/loop", "host",
                                             "include"]),
    ("tools/run",      ["tools/run"],       ["tools/live", "tools/evidence", "tools/events", "tools/media",
                                             "tools/loop", "host", "include"]),
    ("tools/edit",     ["tools/edit"],      ["tools/evidence", "tools/events", "tools/media", "tools/loop", "host",
                                             "include"]),
    ("tools/serve",    ["tools/serve"],     ["tools/edit", "tools/run", "tools/live", "tools/evidence", "tools/events",
                                             "tools/media", "tools/loop", "host", "include"]),
    ("tools/cli",      ["tools/cli"],       ["tools/serve", "tools/demo", "tools/run", "tools/edit", "tools/live",
                                             "tools/evidence",
                                             "tools/events", "tools/media", "tools/loop", "host", "include"]),
    ("python",         ["python/src"],      ["host", "include"]),
    ("gst",            ["gst"],             ["host", "include"]),
    # Tests, fuzzers and benchmarks look inside what they check.
    ("tests/tool",     ["tests/tool"],      ["tests/tool", "tests/common", "tools/*", "host", "include"] + CORE),
    ("tests/gst",      ["tests/gst"],       ["tests/gst", "tests/tool", "tests/common", "gst", "host", "include"]),
    ("fuzz",           ["fuzz"],            ["host"] + CORE),
    ("bench",          ["bench"],           ["tools/media", "tests/common", "host"] + CORE),
]
# Where a quoted include by bare name is refused.
NO_BARE_NAMES = ["host", "tools", "python/src", "gst", "tests/tool", "tests/gst", "fuzz", "bench"]
# The only place CLI11 may be named.
CLI11_HOME = "tools/cli"

SOURCE = (".h", ".hpp", ".cpp", ".cc", ".c", ".inl")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
CLI11_USE = re.compile(r"\bCLI::|\bnamespace\s+CLI\b")


def under(path, folder):
    return path == folder or path.startswith(folder + "/")


def layer_of(path):
    for name, folders, _ in LAYERS:
        if any(under(path, f) for f in folders):
            return name
    return None


def allowed(src_layer, dst_layer):
    if src_layer == dst_layer:
        return True
    rules = next(r for n, _, r in LAYERS if n == src_layer)
    for r in rules:
        if r == dst_layer or (r.endswith("/*") and dst_layer.startswith(r[:-1])):
            return True
    return False


def code_part(line):
    """The line without a // comment (good enough for include lines and names)."""
    i = line.find("//")
    return line if i < 0 else line[:i]


def check(root):
    public = set(os.listdir(os.path.join(root, "include"))) if os.path.isdir(os.path.join(root, "include")) else set()
    problems = []
    for top in sorted({f.split("/")[0] for _, fs, _ in LAYERS for f in fs}):
        for d, dirs, files in os.walk(os.path.join(root, top)):
            dirs.sort()
            for f in sorted(files):
                if not f.endswith(SOURCE):
                    continue
                full = os.path.join(d, f)
                rel = os.path.relpath(full, root).replace(os.sep, "/")
                src = layer_of(rel)
                if src is None:
                    continue
                with open(full, encoding="utf-8", errors="replace") as fh:
                    lines = fh.read().split("\n")
                bare_refused = any(under(rel, p) for p in NO_BARE_NAMES)
                in_block_comment = False
                for n, line in enumerate(lines, 1):
                    where = "%s:%d" % (rel, n)
                    stripped = line.strip()
                    if in_block_comment:
                        if "*/" in stripped:
                            in_block_comment = False
                        continue
                    if stripped.startswith("/*") and "*/" not in stripped:
                        in_block_comment = True
                        continue
                    m = INCLUDE.match(line)
                    if m:
                        quote, name = m.group(1), m.group(2)
                        if name.startswith("CLI/") and not under(rel, CLI11_HOME):
                            problems.append("%s: CLI11 (%s) outside %s/" % (where, name, CLI11_HOME))
                        if quote != '"':
                            continue
                        if "/" not in name:
                            if bare_refused and name not in public:
                                problems.append('%s: "%s" by bare name: write its path from the repository root'
                                                % (where, name))
                            dst = "include" if name in public else layer_of(
                                os.path.relpath(os.path.join(os.path.dirname(rel), name)).replace(os.sep, "/"))
                        else:
                            dst = layer_of(name)
                        if dst is not None and not allowed(src, dst):
                            problems.append("%s: %s includes %s (%s): not a layer %s may use"
                                            % (where, src, name, dst, src))
                        continue
                    if not under(rel, CLI11_HOME) and CLI11_USE.search(code_part(line)):
                        problems.append("%s: CLI11 named outside %s/" % (where, CLI11_HOME))
    return problems


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    problems = check(root)
    for p in problems:
        print(p)
    if problems:
        print("check-layers: %d include(s) across the layers (rules: the LAYERS table in %s)"
              % (len(problems), os.path.basename(__file__)), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
