"""Every Python block of companion/README.md runs, in order in one namespace,
and every line `expression  # -> text` shows what the expression returns:
`text` is the repr of the value with numpy arrays as lists. The blocks of
the root README and docs/*.md that need scikit-learn run here too."""

from __future__ import annotations

import importlib.util
import pathlib
import re

import numpy as np
import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
ROOT = README.parents[1]
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
    ((start, code),) = blocks(text)
    assert start == 2 and "__shown((x + 1), '2')" in checked(code)


def _root_readme_blocks():
    """The root suite's reader of the root README and docs/*.md."""
    path = ROOT / "tests" / "python" / "readme_blocks.py"
    spec = importlib.util.spec_from_file_location("root_readme_blocks", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ROOT_PAGES = _root_readme_blocks()
# The blocks the root suite skips for want of scikit-learn run here, where
# it is installed.
ROOT_SKLEARN = [
    (page, heading)
    for page in ROOT_PAGES.pages()
    for heading, code in ROOT_PAGES.sections(page=page).items()
    if any(re.search(r"^\s*(import|from) sklearn\b", c, re.M) for c in code)
]


def test_the_root_readme_shows_the_estimator():
    assert any(page.name == "README.md" for page, _ in ROOT_SKLEARN)


@pytest.mark.parametrize("page, heading", ROOT_SKLEARN, ids=[f"{p.name}:{h}" for p, h in ROOT_SKLEARN])
def test_the_root_blocks_needing_sklearn_run(page, heading):
    pytest.importorskip("sklearn")
    ROOT_PAGES.run(heading, page)
