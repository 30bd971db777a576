"""Index files: exact round trips, a writer killed mid-save, damaged files."""

from __future__ import annotations

import io
import json
import os
import signal
import subprocess
import sys
import textwrap
import time
import zipfile

import numpy as np
import pytest

from orbisk_companion import Index, IndexFileError, load, persistence
from plain import data, same


def filled(kind: str, metric: str = "cosine", keys=None) -> Index:
    rows = data(n=30)
    index = Index(4, metric, kind, allow_nonfinite=True,
                  **({"fields": ["g"], "ef_search": 40} if kind == "graph" else {}))
    index.add(rows, keys=keys, metadata=[{"g": i % 3, "name": f"r{i}", "tags": [i, None, 1.5]} for i in range(30)])
    return index


def assert_same_index(a: Index, b: Index) -> None:
    assert (a.kind, a.dim, a.metric, a.fields, a.parameters, a.allow_nonfinite) == (
        b.kind, b.dim, b.metric, b.fields, b.parameters, b.allow_nonfinite)
    assert a.keys == b.keys and [type(k) for k in a.keys] == [type(k) for k in b.keys]
    assert a.rows.tobytes() == b.rows.tobytes()          # bit for bit, NaN and -0.0 included
    assert [a.metadata(k) for k in a.keys] == [b.metadata(k) for k in b.keys]


@pytest.mark.parametrize("kind", ["flat", "graph", "sharded"])
@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
@pytest.mark.parametrize("keys", [None, [f"id-{i}" for i in range(30)], [i * 7 - 50 for i in range(29)] + ["s"],
                                  [2**70 + i for i in range(30)]])
def test_round_trip_is_exact(tmp_path, kind, metric, keys):
    if (kind, metric) == ("graph", "inner_product"):
        pytest.skip("no inner-product graph")
    index = filled(kind, metric, keys)
    path = tmp_path / "index.npz"
    index.save(path)
    again = load(path)
    assert_same_index(index, again)
    Q = data(seed=3, n=20)[:8]
    if kind != "graph":      # a rebuilt graph draws new levels: its answers may differ
        for q in Q:
            (k1, s1), (k2, s2) = index.search(q, 30), again.search(q, 30)
            assert list(k1) == list(k2) and all(same(x, y) for x, y in zip(s1.tolist(), s2.tolist()))


def test_numpy_keys_and_metadata_values_are_saved_as_python_values(tmp_path):
    index = Index(2)
    meta = {"n": np.int64(3), "x": np.float32(0.5), "b": np.bool_(True)}
    index.add(np.zeros((3, 2)), keys=np.arange(10, 13), metadata=[meta, None, {}])
    meta["n"] = 4                                # the index holds its own copy
    assert index.search([0.0, 0.0], 1)[0].dtype == np.int64
    index.save(tmp_path / "x.npz")
    again = load(tmp_path / "x.npz")
    assert again.keys == [10, 11, 12] and [type(k) for k in again.keys] == [int] * 3
    assert again.metadata(10) == {"n": 3, "x": 0.5, "b": True} and again.metadata(11) is None


@pytest.mark.parametrize("key, meta, message", [
    ((1, 2), None, "keys must be str, int, float or bool"),
    (0, {"t": (1, 2)}, "tuple is not a JSON type"),
    (0, {3: "x"}, "metadata keys must be str"),
    (0, {"o": object()}, "object is not a JSON type"),
])
def test_save_refuses_what_json_cannot_bring_back_and_writes_nothing(tmp_path, key, meta, message):
    index = Index(2)
    index.add(np.zeros((1, 2)), keys=[key], metadata=[meta])
    with pytest.raises(TypeError, match=message):
        index.save(tmp_path / "x.npz")
    assert os.listdir(tmp_path) == []


def _valid(tmp_path) -> bytes:
    path = tmp_path / "good.npz"
    filled("flat").save(path)
    return path.read_bytes()


def _rezip(blob: bytes, change) -> bytes:
    """Rewrites the archive with one member changed (CRCs recomputed)."""
    with np.load(io.BytesIO(blob)) as z:
        arrays = {name: z[name] for name in z.files}
    change(arrays)
    out = io.BytesIO()
    np.savez(out, **arrays)
    return out.getvalue()


def _header(change):
    def go(arrays):
        h = json.loads(arrays["header"].tobytes())
        change(h)
        arrays["header"] = np.frombuffer(json.dumps(h).encode(), dtype=np.uint8)
    return go


def _flip_row_bit(arrays):
    arrays["rows"] = arrays["rows"].copy()
    arrays["rows"].view(np.uint64)[0, 0] ^= 1


@pytest.mark.parametrize("damage, message", [
    (lambda b: b[: len(b) // 2], "damaged"),
    (lambda b: b[:-10], "damaged"),
    (lambda b: b"", "damaged"),
    (lambda b: b"not a zip file at all", "damaged"),
    (lambda b: b.replace(b"PK\x03\x04", b"PK\x03\x05", 1), "damaged"),
    (lambda b: _rezip(b, _flip_row_bit), "checksum mismatch"),
    (lambda b: _rezip(b, _header(lambda h: h.update(version=2))), "format version 2"),
    (lambda b: _rezip(b, _header(lambda h: h.update(format="other"))), "not an index file of this format"),
    (lambda b: _rezip(b, _header(lambda h: h.update(count=29))), "the header says"),
    (lambda b: _rezip(b, lambda a: a.pop("metadata")), "not an index file"),
])
def test_damaged_files_are_refused(tmp_path, damage, message):
    blob = damage(_valid(tmp_path))
    bad = tmp_path / "bad.npz"
    bad.write_bytes(blob)
    with pytest.raises(IndexFileError, match=message):
        load(bad)


def test_a_flipped_byte_anywhere_in_the_data_is_refused(tmp_path):
    blob = bytearray(_valid(tmp_path))
    bad = tmp_path / "bad.npz"
    for at in range(200, len(blob) - 200, max(1, len(blob) // 25)):
        blob[at] ^= 0x40
        bad.write_bytes(bytes(blob))
        with pytest.raises(IndexFileError):
            load(bad)
        blob[at] ^= 0x40


def test_missing_file_is_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        load(tmp_path / "none.npz")


_WRITER = textwrap.dedent("""
    import sys, numpy as np
    from orbisk_companion import Index, persistence
    index = Index(64)
    index.add(np.random.default_rng(1).normal(size=(200_000, 64)))
    real = persistence.os.fsync
    def slow(fd):                   # the file is written; wait to be killed before it is renamed
        print("writing", flush=True)
        import time; time.sleep(60)
    persistence.os.fsync = slow
    index.save(sys.argv[1])
""")


def test_a_writer_killed_mid_save_leaves_the_old_file_intact(tmp_path):
    path = tmp_path / "index.npz"
    old = filled("flat")
    old.save(path)
    before = path.read_bytes()
    writer = subprocess.Popen([sys.executable, "-c", _WRITER, str(path)], stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline() == "writing\n"
        leftovers = [p for p in os.listdir(tmp_path) if p.endswith(".tmp")]
        assert leftovers and os.path.getsize(tmp_path / leftovers[0]) > 100_000_000
        os.kill(writer.pid, signal.SIGKILL)
    finally:
        writer.wait(30)
    assert writer.returncode == -signal.SIGKILL
    assert path.read_bytes() == before
    assert_same_index(old, load(path))


def test_save_replaces_by_rename_not_in_place(tmp_path):
    path = tmp_path / "index.npz"
    filled("flat").save(path)
    inode = os.stat(path).st_ino
    held = open(path, "rb")          # a reader of the old file keeps reading the old file
    Index(4).save(path)
    assert os.stat(path).st_ino != inode
    assert zipfile.ZipFile(held).testzip() is None
    held.close()
    assert len(load(path)) == 0
    assert [p for p in os.listdir(tmp_path)] == ["index.npz"]
