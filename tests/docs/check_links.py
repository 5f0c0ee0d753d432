#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md leads somewhere.

    check_links.py REPOSITORY_ROOT          check, print each broken link, exit 1 if any
    check_links.py --self-check             the checker on made-up pages

A link is checked when it is relative (no scheme, not `mailto:`): the file or
folder must exist, and a `#fragment` must be a heading of the target page,
spelled as GitHub makes heading anchors (lower case, punctuation dropped,
spaces to hyphens, `-1`, `-2`, ... for repeats). Links inside code blocks and
code spans are not links and are left alone.
"""
import os
import re
import sys
import tempfile

LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
FENCE = re.compile(r"^\s*(```|~~~)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")


def prose_lines(text):
    """(line number, line) outside fenced code blocks, code spans blanked."""
    fenced = None
    for number, line in enumerate(text.split("\n"), 1):
        m = FENCE.match(line)
        if m:
            if fenced is None:
                fenced = m.group(1)
            elif m.group(1) == fenced:
                fenced = None
            continue
        if fenced is None:
            yield number, re.sub(r"`[^`]*`", lambda s: " " * len(s.group(0)), line)


def slug(heading):
    """GitHub's anchor for a heading's text."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link keeps its words
    text = text.replace("`", "").strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(text):
    seen = {}
    found = set()
    fenced = None
    for line in text.split("\n"):
        m = FENCE.match(line)
        if m:
            fenced = m.group(1) if fenced is None else (None if m.group(1) == fenced else fenced)
            continue
        h = HEADING.match(line) if fenced is None else None
        if h:
            base = slug(h.group(2))
            n = seen.get(base, 0)
            seen[base] = n + 1
            found.add(base if n == 0 else "%s-%d" % (base, n))
    return found


def pages(root):
    names = ["README.md"]
    docs = os.path.join(root, "docs")
    if os.path.isdir(docs):
        names += sorted("docs/" + n for n in os.listdir(docs) if n.endswith(".md"))
    return [n for n in names if os.path.isfile(os.path.join(root, n))]


def broken_links(root):
    problems = []
    checked = 0
    for page in pages(root):
        path = os.path.join(root, page)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for number, line in prose_lines(text):
            for m in LINK.finditer(line):
                target = m.group(1)
                if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target):
                    continue  # https:, mailto:, ...
                checked += 1
                file_part, _, fragment = target.partition("#")
                where = "%s:%d: %s" % (page, number, target)
                dest = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
                if not os.path.exists(dest):
                    problems.append("%s: no such file" % where)
                    continue
                if fragment:
                    if not dest.endswith(".md") or os.path.isdir(dest):
                        problems.append("%s: an anchor into a file that is not a Markdown page" % where)
                        continue
                    with open(dest, encoding="utf-8") as f:
                        if fragment not in anchors(f.read()):
                            problems.append("%s: no heading with the anchor #%s" % (where, fragment))
    return problems, checked


def self_check():
    with tempfile.TemporaryDirectory() as root:
        os.mkdir(os.path.join(root, "docs"))
        with open(os.path.join(root, "LICENSE"), "w") as f:
            f.write("MIT\n")
        with open(os.path.join(root, "docs", "a.md"), "w") as f:
            f.write("# The C++ API: `tarvocoil::Detector`\n\n## Speed\n\n## Speed\n\n```sh\n# not a heading\n```\n"
                    "[back](../README.md#the-two-commands) ![pic](missing.png)\n")
        with open(os.path.join(root, "README.md"), "w") as f:
            f.write("# T\n\n## The two commands\n\n"
                    "[ok](LICENSE) [ok](docs/a.md#the-c-api-tarvocoildetector) [ok](docs/a.md#speed-1)\n"
                    "[ok](#the-two-commands) [web](https://example.com/x) `[code](nowhere.md)`\n"
                    "```\n[fenced](nowhere.md)\n```\n"
                    "[bad](docs/b.md) [bad](docs/a.md#speed-2) [bad](docs/a.md#not-a-heading) [bad](LICENSE#x)\n")
        problems, checked = broken_links(root)
    expected = [
        "README.md:10: docs/b.md: no such file",
        "README.md:10: docs/a.md#speed-2: no heading with the anchor #speed-2",
        "README.md:10: docs/a.md#not-a-heading: no heading with the anchor #not-a-heading",
        "README.md:10: LICENSE#x: an anchor into a file that is not a Markdown page",
        "docs/a.md:10: missing.png: no such file",
    ]
    if problems != expected or checked != 10:
        print("self-check failed: %d links checked, found:\n  %s" % (checked, "\n  ".join(problems)))
        return 1
    print("self-check: %d links, the %d broken ones found" % (checked, len(expected)))
    return 0


def main(argv):
    if argv[1:] == ["--self-check"]:
        return self_check()
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    problems, checked = broken_links(argv[1])
    for p in problems:
        print(p)
    if problems:
        print("%d of %d relative links are broken" % (len(problems), checked))
        return 1
    print("%d relative links in %d pages, all resolve" % (checked, len(pages(argv[1]))))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
