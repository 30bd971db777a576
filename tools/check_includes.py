"""The include structure of src/: no folder includes, through any chain of
folders, a folder that includes it back, and only the bindings touch
Python (the folders binding/, module/ and engine/, and the py_* files
beside the cores). Prints each breach and exits 1 when there is one.

    python tools/check_includes.py [SRC]
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.MULTILINE)
BINDING_FOLDERS = {"binding", "module", "engine"}


def includes(src: Path) -> dict[Path, list[str]]:
    """Every C++ file under `src` and what it includes."""
    return {
        path: INCLUDE.findall(path.read_text(encoding="utf-8"))
        for path in sorted(src.rglob("*"))
        if path.suffix in (".h", ".cpp")
    }


def folder_graph(src: Path, found: dict[Path, list[str]]) -> dict[str, set[str]]:
    """Folder -> the other folders of src/ its files include."""
    folders = {p.name for p in src.iterdir() if p.is_dir()}
    graph: dict[str, set[str]] = {f: set() for f in folders}
    for path, names in found.items():
        here = path.relative_to(src).parts[0]
        for name in names:
            there = name.split("/")[0]
            if "/" in name and there in folders and there != here:
                graph[here].add(there)
    return graph


def reachable(graph: dict[str, set[str]], start: str) -> set[str]:
    """The folders `start` includes, directly or through others."""
    found, todo = set(), [start]
    while todo:
        for nxt in graph[todo.pop()] - found:
            found.add(nxt)
            todo.append(nxt)
    return found


def circles(graph: dict[str, set[str]]) -> list[tuple[str, str]]:
    """Every pair of folders that include each other, directly or not."""
    reach = {f: reachable(graph, f) for f in graph}
    return [(a, b) for a in sorted(graph) for b in sorted(reach[a]) if a < b and a in reach[b]]


def problems(src: Path) -> list[str]:
    found = includes(src)
    out = [f"{a} and {b} include each other" for a, b in circles(folder_graph(src, found))]
    for path, names in found.items():
        rel = path.relative_to(src)
        if rel.parts[0] in BINDING_FOLDERS or path.name.startswith("py_"):
            continue
        for name in names:
            if name == "Python.h" or name.split("/")[0] in BINDING_FOLDERS:
                out.append(f"{rel} includes {name}: a core file never touches Python")
    return out


def main() -> int:
    src = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    found = problems(src)
    for line in found:
        print(f"src/ include structure: {line}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
