"""The Python blocks of the README and of docs/*.md, grouped by file and by
the heading they stand under.

The blocks under one heading run in order in one namespace, as a reader who
pastes them one after another would run them; so the tests can take the
recipes' functions from the page that shows them."""

import importlib.util
import pathlib
import re
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
RECIPES = ROOT / "docs" / "recipes.md"

# Modules a block may need that neither orbisk nor its tests require: the
# blocks that import one are skipped, with the reason, where it is missing
# (the companion's CI, which has them, runs those blocks too).
OPTIONAL = ("numpy", "sklearn")


def pages():
    """The README and every page of docs/ (bench.md and batch.md hold no
    Python, so they add nothing)."""
    return [README, *sorted((ROOT / "docs").glob("*.md"))]


def sections(text=None, page=README):
    """{heading: [code, ...]} for every heading of `page` (or of `text`)
    that has Python blocks."""
    found, heading, fence, code = {}, "(top)", None, []
    lines = (page.read_text() if text is None else text).splitlines(keepends=True)
    for number, line in enumerate(lines, 1):
        if fence is None:
            if line.startswith("```"):
                # Blank lines before the code keep the page's line numbers
                # in tracebacks.
                fence, code = line[3:].strip(), ["\n"] * number
            elif line.startswith("#"):
                heading = line.lstrip("#").strip()
        elif line.startswith("```"):
            if fence == "python":
                found.setdefault(heading, []).append("".join(code))
            fence = None
        else:
            code.append(line)
    return found


def missing(blocks):
    """The optional modules the blocks import that are not installed."""
    return [
        m
        for m in OPTIONAL
        if any(re.search(rf"^\s*(import|from) {m}\b", b, re.M) for b in blocks) and importlib.util.find_spec(m) is None
    ]


def run(heading, page=README):
    """Runs the blocks under `heading` of `page` and returns their
    namespace; skips when they import an optional module that is absent
    (orbisk itself needs none)."""
    blocks = sections(page=page)[heading]
    absent = missing(blocks)
    if absent:
        pytest.skip(f"these blocks need {', '.join(absent)}")
    companion = str(ROOT / "companion")
    uses_companion = any("orbisk_companion" in b for b in blocks)
    if uses_companion:
        sys.path.insert(0, companion)  # pure Python, importable from the checkout
    try:
        namespace = {"__name__": "readme"}
        for code in blocks:
            exec(compile(code, str(page), "exec"), namespace)
        return namespace
    finally:
        if uses_companion:
            sys.path.remove(companion)
