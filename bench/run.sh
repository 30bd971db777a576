#!/usr/bin/env bash
# Sets up bench/.venv once (the peers live there, never in orbisk's own
# environment) and runs the benchmark against an already built module.
# Usage: bench/run.sh [BUILD_DIR]    (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
venv=bench/.venv
if [ ! -f "$venv/.ready" ] || [ bench/requirements.txt -nt "$venv/.ready" ]; then
  base="$(.venv/bin/python -c 'import sys; print(sys._base_executable)')"
  "$base" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r bench/requirements.txt
  touch "$venv/.ready"
fi
# numpy is a peer here: let OpenBLAS pick its own kernels for this run only.
exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE PYTHONPATH="$build" "$venv/bin/python" bench/bench.py
