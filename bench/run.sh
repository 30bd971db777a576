#!/usr/bin/env bash
# Sets up bench/.venv once (the peers live there, never in orbisk's own
# environment) and runs the benchmark against an already built module.
# Usage: bench/run.sh [BUILD_DIR [--batch] [OPTIONS]]    (default: build)
#   OPTIONS go to bench/bench.py, e.g. `bench/run.sh build --only flat` or
#   `bench/run.sh build --data gaussian,glove`; with `make bench`, put them in
#   BENCH_ARGS: `make bench BENCH_ARGS="--only graph"`. A partial run writes
#   bench/out/ instead of docs/.
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
shift $(( $# > 0 ? 1 : 0 ))
venv=bench/.venv
if [ ! -f "$venv/.ready" ] || [ bench/requirements.txt -nt "$venv/.ready" ]; then
  base="$(.venv/bin/python -c 'import sys; print(sys._base_executable)')"
  "$base" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r bench/requirements.txt
  touch "$venv/.ready"
fi
# The report names the kernel tables of the module measured (`make bench
# KERNELS=avx2` caps them).
.venv/bin/cmake --build "$build" --target kernel_tables >/dev/null
ORBISK_KERNEL_TABLES="$("$build/kernel_tables")"
export ORBISK_KERNEL_TABLES
# `--batch` first: the batch benchmark (bench/batch.py) instead; `--files`,
# what an index costs around its searches (bench/index_files.py); `--graph`,
# the graph beside hnswlib and faiss's HNSW (bench/graph_bench.py, through
# its driver, built here with -DORBISK_BENCH=ON).
script=bench/bench.py
if [ "${1:-}" = --batch ]; then
  script=bench/batch.py
  shift
elif [ "${1:-}" = --files ]; then
  script=bench/index_files.py
  shift
elif [ "${1:-}" = --graph ]; then
  .venv/bin/cmake -S . -B "$build" -DORBISK_BENCH=ON >/dev/null
  .venv/bin/cmake --build "$build" --target graph_walk >/dev/null
  script=bench/graph_bench.py
  set -- --driver "$build/graph_walk" "${@:2}"
fi
# numpy and faiss are peers here, each on OpenBLAS: they get the kernels of
# the instruction sets orbisk's tables were capped at (a capped run stands for
# a machine without AVX-512, for them too). Left to choose, faiss's OpenBLAS
# takes an SSE kernel on some processors it does not know (3x slower on an
# AMD EPYC of family 26), which would flatter orbisk.
coretype=
case " $ORBISK_KERNEL_TABLES " in
  *" avx512 "*) coretype=SkylakeX ;;
  *" avx2 "*) coretype=Haswell ;;
esac
# shellcheck disable=SC2086
exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE ${coretype:+OPENBLAS_CORETYPE=$coretype} \
  PYTHONPATH="$build:$PWD/companion" "$venv/bin/python" "$script" ${BENCH_ARGS:-} "$@"
