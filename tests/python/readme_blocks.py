"""The README's Python blocks, grouped by the heading they stand under.

The blocks under one heading run in order in one namespace, as a reader who
pastes them one after another would run them; so the tests can take the
recipes' functions from the README itself."""

import importlib.util
import pathlib
import re
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def sections(text=None):
    """{heading: [code, ...]} for every heading that has Python blocks."""
    found, heading, fence, code = {}, "(top)", None, []
    lines = (README.read_text() if text is None else text).splitlines(keepends=True)
    for number, line in enumerate(lines, 1):
        if fence is None:
            if line.startswith("```"):
                # Blank lines before the code keep the README's line numbers
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


def needs_numpy(blocks):
    return any(re.search(r"^\s*(import|from) numpy\b", b, re.M) for b in blocks)


def run(heading):
    """Runs the blocks under `heading` and returns their namespace; skips
    when they import numpy and numpy is absent (orbisk itself needs none)."""
    blocks = sections()[heading]
    if needs_numpy(blocks) and importlib.util.find_spec("numpy") is None:
        pytest.skip("these blocks need numpy")
    companion = str(README.parent / "companion")
    uses_companion = any("orbisk_companion" in b for b in blocks)
    if uses_companion:
        sys.path.insert(0, companion)  # pure Python, importable from the checkout
    try:
        namespace = {"__name__": "readme"}
        for code in blocks:
            exec(compile(code, str(README), "exec"), namespace)
        return namespace
    finally:
        if uses_companion:
            sys.path.remove(companion)
