#!/usr/bin/env bash
# The companion's CI: its own virtual environment (companion/.venv) with Ray
# and Dask, then its tests on a local Ray cluster and a Dask LocalCluster.
# Run from anywhere; it first builds orbisk into build/ (`make build`, which
# compiles only what changed, with the cap of KERNELS when that is set):
#
#   companion/ci.sh          the tests, and the example on an engine
#   companion/ci.sh bench    bench/shard_bench.py instead (slow: minutes);
#                            bench --recovery: recovery times of lost nodes
#
# orbisk itself is not installed here: PYTHONPATH points at build/, the module
# `make build` has just built, and the Ray and Dask workers inherit it. The
# companion is installed with --no-deps (its `orbisk` requirement is met by
# build/); its other requirements and extras are read from its pyproject.toml
# and installed once, again when that file changes.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
cd "$root"

make --no-print-directory build
base="$(.venv/bin/python -c 'import sys; print(sys._base_executable)')"
venv=companion/.venv
py="$venv/bin/python"
stamp="$(cat companion/pyproject.toml "$0" | sha256sum | cut -c1-16) $base"

if [ ! -f "$venv/.ready" ] || [ "$(cat "$venv/.ready")" != "$stamp" ]; then
  echo "companion: creating $venv from $base"
  rm -rf "$venv"
  "$base" -m venv "$venv"
  "$py" - > "$venv/requirements.txt" <<'EOF'
import tomllib
project = tomllib.load(open("companion/pyproject.toml", "rb"))["project"]
extras = project["optional-dependencies"]
wanted = [r for r in project["dependencies"] if not r.startswith("orbisk")]
wanted += extras["ray"] + extras["dask"] + extras["test"] + ["setuptools>=68"]
print("\n".join(wanted))
EOF
  "$py" -m pip install -q --disable-pip-version-check -r "$venv/requirements.txt"
  echo "$stamp" > "$venv/.ready"
fi
"$py" -m pip install -q --disable-pip-version-check --no-deps --no-build-isolation --force-reinstall ./companion

export PYTHONPATH="$root/build"
export RAY_USAGE_STATS_ENABLED=0
"$py" -c 'import orbisk, orbisk_companion, orbisk_shard, ray, distributed; print("companion: orbisk from", orbisk.__file__, "| ray", ray.__version__, "| distributed", distributed.__version__)'

if [ "${1:-}" = bench ]; then
  exec "$py" bench/shard_bench.py "${@:2}"
fi

start=$SECONDS
# A test that runs for 5 minutes has its threads' stacks printed (the
# recovery tests end in well under one; none should hang). The tests that
# fail every allocation of a change in turn fork a child for each: they run
# in a process of their own first, which has not imported Ray and Dask, and
# forks in a third of the time.
(cd companion && timeout 900 "$root/$py" -m pytest -q -rs -p no:cacheprovider \
  -o faulthandler_timeout=300 --durations=4 tests/test_failures.py)
(cd companion && timeout 900 "$root/$py" -m pytest -q -rs -p no:cacheprovider \
  -o faulthandler_timeout=300 --durations=8 --ignore=tests/test_failures.py tests)
timeout 300 "$py" examples/sharded_search.py
echo "companion: tests and example took $((SECONDS - start)) s"
