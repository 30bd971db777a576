"""Replays the fuzz seed corpus through the harness, without atheris.

Keeps fuzz/fuzz_orbisk.py importable and runnable against the current
bindings; a seed that starts raising a bug-class exception (SystemError, an
unexpected PanicException, a non-Exception) or whose buffer converts
otherwise than its iteration fails here.
"""

import importlib.util
import pathlib

import pytest

FUZZ_DIR = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
SEEDS = sorted(p for p in (FUZZ_DIR / "corpus").iterdir() if p.is_file())


def load_harness():
    spec = importlib.util.spec_from_file_location("fuzz_orbisk", FUZZ_DIR / "fuzz_orbisk.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


harness = load_harness()


@pytest.mark.parametrize("seed", SEEDS, ids=lambda p: p.name)
def test_seed_replays_cleanly(seed):
    harness.TestOneInput(seed.read_bytes())


@pytest.mark.parametrize(
    ("exc", "method", "accepted"),
    [
        (ValueError("x"), "PyFlat.insert", True),
        (RuntimeError("Already borrowed"), "PyHNSW.search", True),
        (SystemError("x"), "PyFlat.search", False),
        (KeyboardInterrupt(), "PyFlat.search", False),
        (harness.Finding("x"), "PyFlat.insert", False),
    ],
)
def test_classify(exc, method, accepted):
    assert harness.classify(exc, method) is accepted


def test_classify_panic_only_for_documented_case():
    import orbisk

    index = orbisk.PyFlat(2)
    with pytest.raises(BaseException) as info:
        index.create([[1.0, 2.0], [1.0]])
    panic = info.value
    assert type(panic).__name__ == "PanicException"
    assert harness.classify(panic, "PyFlat.create")
    assert not harness.classify(panic, "PyHNSW.create")
    assert not harness.classify(type(panic)("something else"), "PyFlat.create")


def test_byte_reader_is_total():
    # Exhausted input must still yield values, as atheris's provider does.
    reader = harness.ByteReader(b"\x05")
    assert 0 <= reader.ConsumeIntInRange(0, 10**30) <= 10**30
    assert reader.ConsumeIntInRange(3, 7) == 3
    assert reader.ConsumeBytes(4) == b""
    assert reader.ConsumeRegularFloat() == 0.0
