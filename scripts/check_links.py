#!/usr/bin/env python3
"""Checks the links between README.md and the files in docs/.

Every relative link must name a file that exists and, where it carries an
#anchor, a heading of that file that renders to that anchor (as GitHub
makes them: the heading's text in lower case, punctuation dropped, spaces
as hyphens, a repeated one numbered). Every file in docs/ must be linked
from the README, so that none is left where a reader cannot find it. The
hard cases: links inside code (a `[x](y)` in a code block or a code span
is text, not a link), and headings holding code or links.

    check_links.py <source folder>

Prints each broken link with its file and line; exits 1 if there is one.
"""
import re
import sys
from pathlib import Path

LINK = re.compile(r"(?<!\\)\[(?:[^\[\]]|\[[^\]]*\])*\]\(([^)\s]+)\)")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1", re.DOTALL)
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")


def text_lines(path):
    """The file's lines outside fenced code blocks, with their numbers."""
    fenced = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if not fenced:
            yield number, line


def anchor_of(heading, seen):
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link shows its text
    text = text.replace("`", "").lower()
    slug = re.sub(r"[^\w\- ]", "", text).replace(" ", "-")
    count = seen.get(slug, 0)
    seen[slug] = count + 1
    return slug if count == 0 else f"{slug}-{count}"


def anchors(path):
    seen = {}
    return {anchor_of(m.group(2), seen) for _, line in text_lines(path) if (m := HEADING.match(line))}


def links(path):
    """Each link's line and target; a link's text may wrap onto the next line."""
    lines = dict(text_lines(path))
    text = "\n".join(lines.get(number, "") for number in range(1, max(lines, default=0) + 1))
    # Code spans go, their line breaks kept, so that the numbers stay right.
    text = CODE_SPAN.sub(lambda m: "\n" * m.group(0).count("\n"), text)
    for match in LINK.finditer(text):
        yield text.count("\n", 0, match.start()) + 1, match.group(1)


def check(root):
    """The broken links, and how many links were looked at."""
    readme = root / "README.md"
    pages = [readme] + sorted((root / "docs").glob("*.md"))
    broken, linked, checked = [], set(), 0
    for page in pages:
        for number, target in links(page):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                continue  # http:, https:, mailto: lead off the project
            checked += 1
            file_part, _, anchor = target.partition("#")
            destination = (page.parent / file_part).resolve() if file_part else page.resolve()
            where = f"{page.relative_to(root)}:{number}: {target}"
            if not destination.exists():
                broken.append(f"{where}: no such file")
                continue
            if page == readme:
                linked.add(destination)
            if anchor and destination.suffix == ".md" and anchor not in anchors(destination):
                broken.append(f"{where}: no heading #{anchor} in {destination.relative_to(root)}")
    broken += [f"{page.relative_to(root)}: not linked from README.md" for page in pages[1:]
               if page.resolve() not in linked]
    return broken, checked


def main():
    root = Path(sys.argv[1]).resolve()
    broken, checked = check(root)
    for problem in broken:
        print(problem)
    if broken:
        print(f"{len(broken)} broken of {checked} links")
        return 1
    print(f"{checked} links between README.md and docs/, each leading somewhere")
    return 0


if __name__ == "__main__":
    sys.exit(main())
