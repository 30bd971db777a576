"""Every example runs, and the examples and stubs pass the type checkers."""

import os
import pathlib
import runpy
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.stem for p in EXAMPLES])
def test_example_runs(path, capsys):
    if path.stem in ("numpy_io", "sharded_search"):
        pytest.importorskip("numpy")
    runpy.run_path(str(path), run_name="__main__")
    assert capsys.readouterr().out


def _mypy(*args):
    pytest.importorskip("mypy")
    # companion/ holds orbisk_shard, which examples/sharded_search.py imports.
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(ROOT / "src" / "module"), str(ROOT / "companion")]))
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT,
                          env=env, capture_output=True, text=True)


def test_stubs_match_the_module():
    done = _mypy("mypy.stubtest", "orbisk")
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_type_check_strictly():
    done = _mypy("mypy", "--strict", "--no-incremental", *map(str, EXAMPLES))
    assert done.returncode == 0, done.stdout + done.stderr
