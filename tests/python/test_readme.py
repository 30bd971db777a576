"""Every Python block of the README runs as written."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_block_runs(code):
    exec(compile(code, str(README), "exec"), {})


def test_readme_has_examples():
    assert BLOCKS


def test_demo_runs(capsys):
    import runpy

    demo = README.parent / "examples" / "demo.py"
    runpy.run_path(str(demo), run_name="__main__")
    out = capsys.readouterr().out
    assert "recall@10" in out and "PyFlat" in out
