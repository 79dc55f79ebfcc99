#!/usr/bin/env python3
"""Checks the relative links of the project's Markdown: README.md and docs/.

    check_links.py [FILE.md]...

Every link that is not a URL (no scheme) must name a file or folder of the
tree, and where it names a heading ("guide.md#a-heading", or "#a-heading"
within the same file), a heading of that file, as GitHub makes its anchor.
Links inside code blocks and code spans are not links. Prints each broken
link as FILE:LINE and fails if there is any.
"""

import os
import re
import sys
import unicodedata

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def prose_lines(path, spans=False):
    """(line number, text) of each line outside fenced code; code spans
    blanked unless `spans`."""
    fence = None
    with open(path, encoding="utf-8") as source:
        for number, line in enumerate(source, 1):
            opened = FENCE.match(line)
            if fence is not None:
                if opened and opened.group(1)[0] == fence[0] and len(opened.group(1)) >= len(fence):
                    fence = None
                continue
            if opened:
                fence = opened.group(1)
                continue
            line = line.rstrip("\n")
            yield number, line if spans else CODE_SPAN.sub(lambda span: " " * len(span.group(0)), line)


def slug(heading):
    """The anchor GitHub gives a heading: lower case, markup and punctuation
    dropped, spaces as hyphens."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link keeps its words
    text = text.replace("`", "").lower()
    kept = "".join(c for c in text
                   if c in " -_" or unicodedata.category(c)[0] in "LNM")
    return kept.replace(" ", "-")


def anchors(path, cache={}):
    if path not in cache:
        seen = {}
        found = set()
        for _, line in prose_lines(path, spans=True):
            match = HEADING.match(line)
            if not match:
                continue
            base = slug(match.group(2))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
        cache[path] = found
    return cache[path]


def broken_links(path):
    folder = os.path.dirname(path)
    for number, line in prose_lines(path):
        for match in LINK.finditer(line):
            target = match.group(1)
            if SCHEME.match(target):
                continue
            name, _, anchor = target.partition("#")
            resolved = os.path.normpath(os.path.join(folder, name)) if name else path
            if not os.path.exists(resolved):
                yield number, target, "no such file"
            elif anchor and (not resolved.endswith(".md") or anchor not in anchors(resolved)):
                yield number, target, "no such heading"


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    os.chdir(root)
    docs = sorted(os.listdir("docs")) if os.path.isdir("docs") else []
    files = sys.argv[1:] or ["README.md"] + [
        os.path.join("docs", name) for name in docs if name.endswith(".md")]
    failures = 0
    links = 0
    for path in files:
        for number, target, why in broken_links(path):
            print(f"{path}:{number}: {target}: {why}")
            failures += 1
        links += sum(len(LINK.findall(line)) for _, line in prose_lines(path))
    if failures:
        sys.exit(1)
    print(f"links: {links} in {len(files)} files resolve")


if __name__ == "__main__":
    main()
