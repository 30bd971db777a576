"""The development environment tests the module users get, and the runs that
build their own variant of it import that variant."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import orbisk

ROOT = pathlib.Path(__file__).resolve().parents[2]
IN_DEV_VENV = pathlib.Path(sys.prefix).resolve() == ROOT / ".venv"
# Runs that put a build of their own first on PYTHONPATH.
OWN_BUILDS = {"ORBISK_SANITIZED": "build-sanitize", "ORBISK_COVERAGE": "build-coverage"}
IN_OWN_BUILD = any(os.environ.get(flag) for flag in OWN_BUILDS)


def _build_id(path):
    # The GNU build id survives the strip that the wheel's install applies.
    notes = subprocess.run(["readelf", "-n", str(path)], capture_output=True, text=True, check=True)
    ids = [line.split(":", 1)[1].strip() for line in notes.stdout.splitlines() if "Build ID:" in line]
    assert len(ids) == 1, notes.stdout
    return ids[0]


@pytest.mark.parametrize("flag, build", OWN_BUILDS.items(), ids=OWN_BUILDS.values())
def test_own_build_run_imports_its_own_build(flag, build):
    # .venv has orbisk installed; PYTHONPATH must win over it.
    if not os.environ.get(flag):
        pytest.skip(f"only under the run that sets {flag}")
    assert pathlib.Path(orbisk.__file__).resolve().parent == ROOT / build


@pytest.mark.skipif(not IN_DEV_VENV or IN_OWN_BUILD, reason="only in the repository's .venv with its regular build")
@pytest.mark.parametrize("module", ["orbisk", "orbisk_engine"])
def test_dev_python_imports_the_installed_build_from_anywhere(tmp_path, module):
    if shutil.which("readelf") is None:
        pytest.skip("readelf is needed to read the build id")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run(
        [sys.executable, "-c", f"import {module}; print({module}.__file__)"],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stderr
    imported = pathlib.Path(done.stdout.strip()).resolve()
    assert imported.parent != ROOT / "build"  # installed, not found on a path
    # ... and installed from the latest build in build/, which the wheel
    # backend configured: no second set of options beside pip's.
    (built,) = (ROOT / "build").glob(f"{module}.cpython-*.so")
    assert _build_id(imported) == _build_id(built)
    cache = (ROOT / "build" / "CMakeCache.txt").read_text()
    assert "SKBUILD_STATE:STRING=wheel" in cache


@pytest.mark.skipif(
    IN_OWN_BUILD,
    reason="the runs of their own build install nothing: make test and make package check what is installed",
)
def test_type_checker_sees_the_stubs_without_the_source_tree(tmp_path):
    # Where orbisk is installed (make's .venv, a wheel's environment), mypy finds
    # its stubs with no MYPYPATH: without them line 1 fails as
    # "import-not-found" and line 4 passes unseen.
    pytest.importorskip("mypy")
    script = tmp_path / "uses_orbisk.py"
    script.write_text(
        textwrap.dedent("""\
        import orbisk
        index = orbisk.PyFlat(2, "cosine")
        hits: list[tuple[int, float]] = index.search([1.0, 0.0], k=1)
        wrong: list[tuple[float, list[float]]] = index.search([1.0, 0.0], k=1)
        """)
    )
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary", script.name],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
    )
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith("uses_orbisk.py:4:"), done.stdout + done.stderr
