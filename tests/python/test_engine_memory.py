"""orbisk_engine under a cap on the address space: every call that cannot get
its memory raises MemoryError, and the index answers afterwards exactly as
before. The cap is set in a child process, after everything the child needs
is allocated, so that only the engine's own requests meet it."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux") or os.environ.get("ORBISK_SANITIZED") or os.environ.get("ORBISK_TSAN"),
    reason="an address-space cap needs Linux, and the sanitizers reserve more address space than any cap allows",
)

CHILD = textwrap.dedent(
    """
    import json, resource, sys
    import numpy as np
    import orbisk_engine

    DIM = 16
    rng = np.random.default_rng(0)
    small = orbisk_engine.FlatIndex(DIM, sys.argv[1])
    small.add(rng.standard_normal((20_000, DIM)))
    small.remove(np.arange(0, 20_000, 97))
    large = orbisk_engine.FlatIndex(DIM, sys.argv[1])
    large.add(rng.standard_normal((1_000_000, DIM)))
    large.remove(np.arange(5))
    narrow = orbisk_engine.FlatIndex(DIM, sys.argv[1], storage="float32")
    narrow.add(rng.standard_normal((20_007, DIM)).astype(np.float32))
    probe = rng.standard_normal((3, DIM))

    def answers():
        out = []
        for ix in (small, large, narrow):
            ids, dist = ix.search(probe, 7, threads=1)
            out.append([len(ix), ix.removed, bytes(ids).hex(), bytes(dist).hex()])
        return out

    before = answers()
    wide = np.zeros((200_000, DIM))  # results of 200,000 x 19,794: 63 GB
    many = np.ones((4_000, DIM))  # every row within reach of each: 1.3 GB
    converted = np.zeros((4_000_000, DIM), np.float32)  # 512 MB as float64
    ids = np.arange(40_000_000)  # 160 MB as 32-bit ids
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + (48 << 20), resource.RLIM_INFINITY))

    calls = {
        "add": lambda: small.add(converted),
        "add on threads": lambda: narrow.add(converted, threads=2),
        "reserve": lambda: small.reserve(100_000_000),
        "search": lambda: small.search(wide, 1 << 30, threads=1),
        "search of converted queries": lambda: small.search(converted, 1, threads=1),
        "search_radius": lambda: small.search_radius(many, float("inf"), threads=1),
        "remove": lambda: small.remove(ids),
        "compact": lambda: large.compact(),
    }
    raised = {}
    for name, call in calls.items():
        try:
            call()
            raised[name] = "nothing"
        except Exception as e:
            raised[name] = type(e).__name__
    print(json.dumps({"raised": raised, "unchanged": answers() == before}))
    """
)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
def test_a_call_without_memory_raises_memory_error_and_changes_nothing(metric):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, metric], capture_output=True, text=True, timeout=300, env=os.environ.copy()
    )
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["raised"] == {
        name: "MemoryError"
        for name in (
            "add",
            "add on threads",
            "reserve",
            "search",
            "search of converted queries",
            "search_radius",
            "remove",
            "compact",
        )
    }
    assert report["unchanged"]
