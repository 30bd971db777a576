"""The development environment imports the module its own build made."""

import os
import pathlib
import subprocess
import sys

import pytest

import orbisk

ROOT = pathlib.Path(__file__).resolve().parents[2]
IN_DEV_VENV = pathlib.Path(sys.prefix).resolve() == ROOT / ".venv"


def test_sanitized_run_imports_the_sanitized_build():
    # .venv also finds build/ through a .pth file; PYTHONPATH must win over it.
    if not os.environ.get("ORBISK_SANITIZED"):
        pytest.skip("only under make sanitize")
    assert pathlib.Path(orbisk.__file__).resolve().parent == ROOT / "build-sanitize"


@pytest.mark.skipif(not IN_DEV_VENV or bool(os.environ.get("ORBISK_SANITIZED")),
                    reason="only in the repository's .venv with its regular build")
def test_dev_python_imports_the_build_without_pythonpath(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([sys.executable, "-c", "import orbisk; print(orbisk.__file__)"],
                          cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert pathlib.Path(done.stdout.strip()).resolve().parent == ROOT / "build"
