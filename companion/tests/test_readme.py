"""Every Python block of companion/README.md runs, in order in one namespace,
and every line `expression  # -> text` shows what the expression returns:
`text` is the repr of the value with numpy arrays as lists."""

from __future__ import annotations

import pathlib
import re

import numpy as np
import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
SHOWN = re.compile(r"^(?P<indent>\s*)(?P<expr>\S.*?)\s+# -> (?P<text>.*)$")


def blocks(text: str) -> list[tuple[int, str]]:
    """(line number of the first line, code) of each ```python block."""
    found, fence, start, code = [], None, 0, []
    for number, line in enumerate(text.splitlines(), 1):
        if fence is None:
            if line.startswith("```"):
                fence, start, code = line[3:].strip(), number + 1, []
        elif line.startswith("```"):
            if fence == "python":
                found.append((start, "\n".join(code) + "\n"))
            fence = None
        else:
            code.append(line)
    return found


def plain(value):
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, tuple):
        return tuple(plain(v) for v in value)
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


def checked(code: str) -> str:
    """The block with each shown line turned into a check of its value."""
    out = []
    for line in code.splitlines():
        m = SHOWN.match(line)
        out.append(f"{m['indent']}__shown(({m['expr']}), {m['text']!r})" if m else line)
    return "\n".join(out) + "\n"


def test_the_readme_blocks_run_and_show_what_they_return():
    pytest.importorskip("sklearn")
    shown: list[tuple[str, str]] = []

    def check(value, text):
        shown.append((repr(plain(value)), text))

    namespace = {"__name__": "readme", "__shown": check}
    found = blocks(README.read_text())
    assert len(found) >= 5
    for start, code in found:
        exec(compile("\n" * (start - 1) + checked(code), str(README), "exec"), namespace)
    assert len(shown) >= 15
    assert [got for got, _ in shown] == [text for _, text in shown]


def test_the_checker_finds_shown_lines_in_python_blocks_only():
    text = "```python\nx = 1\nx + 1  # -> 2\n```\n```sh\necho 1  # -> 3\n```\n"
    (start, code), = blocks(text)
    assert start == 2 and "__shown((x + 1), '2')" in checked(code)
