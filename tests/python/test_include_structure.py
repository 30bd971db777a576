"""tools/check_includes.py: src/ as it is passes; a pair of folders that
include each other (through a third) and a core file touching Python fail."""

import importlib.util
import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
spec = importlib.util.spec_from_file_location("check_includes", ROOT / "tools" / "check_includes.py")
check = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check)


def test_src_has_no_folders_including_each_other_and_cores_without_python():
    assert check.problems(ROOT / "src") == []


def test_a_circle_through_three_folders_and_a_core_touching_python_are_found(tmp_path):
    for folder, text in {
        "common": "#include <vector>\n",
        "flat": '#include "common/a.h"\n#include "binding/b.h"\n',
        "binding": '#include "module/m.h"\n',
        "module": '#include "flat/f.h"\n',
    }.items():
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "x.cpp").write_text(text)
    (tmp_path / "common" / "y.h").write_text("#include <Python.h>\n")
    assert check.problems(tmp_path) == [
        "binding and flat include each other",
        "binding and module include each other",
        "flat and module include each other",
        "common/y.h includes Python.h: a core file never touches Python",
        "flat/x.cpp includes binding/b.h: a core file never touches Python",
    ]
