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
    env = dict(
        os.environ,
        MYPYPATH=os.pathsep.join([str(ROOT / "src" / "module"), str(ROOT / "src" / "engine"), str(ROOT / "companion")]),
    )
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, env=env, capture_output=True, text=True)


@pytest.mark.parametrize("module", ["orbisk", "orbisk_engine"])
def test_stubs_match_the_module(module):
    allow = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")  # orbisk's entries
    done = _mypy("mypy.stubtest", module, *(["--allowlist", str(allow)] if module == "orbisk" else []))
    assert done.returncode == 0, done.stdout + done.stderr


# Calls that run but do not do what they say: each must be flagged.
MISLEADING = """\
import orbisk
orbisk.PyFlat(2, "angular")
orbisk.PyFlat(2, metric="Cosine")
orbisk.PyFlat(2, "dot")
orbisk.PyHNSW(4)
orbisk.PyHNSW(4, metric="cosine")
orbisk.PyHNSW(4, metric=None)
orbisk.PyHNSW(4, 5, 16, 200, 50, "Euclidean")
orbisk.PyHNSW(4, layers=1, schema=["color"])
"""

VALID = """\
import numpy as np
import orbisk
orbisk.PyFlat(2)
orbisk.PyFlat(2, None)
orbisk.PyFlat(2, "cosine")
orbisk.PyFlat(dim=2, metric="inner_product")
orbisk.PyFlat(2, "euclidean")
orbisk.PyHNSW(4, metric="euclidean")
orbisk.PyHNSW(4, metric="angular", schema=["color"])
orbisk.PyHNSW(dim=4, layers=1, ef_search=100, metric="inner_product")
orbisk.PyHNSW(4, 5, 16, 200, 50, "euclidean")
orbisk.PyHNSW(4, None, None, None, None, "angular", ["color"])
orbisk.PyHNSW(4, ef_construction=100, metric="euclidean", schema=None)
flat = orbisk.PyFlat(3, "cosine")
flat.create(np.zeros((2, 3)))
flat.insert([1, 2.0, 3])
hits: list[tuple[int, float]] = flat.search(np.ones(3), k=0)
graph = orbisk.PyHNSW(3, metric="angular", schema=["color", "size"])
graph.create([[1.0, 0.0, 0.0]], [[("color", "red"), ("size", 1)]])
graph.insert((0.0, 1.0, 0.0), metadata=[("color", "blue"), ("size", 2.5)])
near: list[tuple[float, list[float]]] = graph.search([1.0, 0.0, 0.0], 2, ("color", "red"))
"""


def test_stubs_flag_misleading_metrics_and_accept_valid_calls(tmp_path):
    (tmp_path / "misleading.py").write_text(MISLEADING)
    (tmp_path / "valid.py").write_text(VALID)
    done = _mypy(
        "mypy",
        "--strict",
        "--no-incremental",
        "--no-error-summary",
        str(tmp_path / "misleading.py"),
        str(tmp_path / "valid.py"),
    )
    flagged = {
        (pathlib.Path(line.split(":")[0]).name, int(line.split(":")[1]))
        for line in done.stdout.splitlines()
        if ": error:" in line
    }
    wanted = {("misleading.py", n) for n in range(2, MISLEADING.count("\n") + 1)}
    assert flagged == wanted, done.stdout + done.stderr


def test_examples_type_check_strictly():
    done = _mypy("mypy", "--strict", "--no-incremental", *map(str, EXAMPLES))
    assert done.returncode == 0, done.stdout + done.stderr
