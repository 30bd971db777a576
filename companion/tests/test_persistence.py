"""Index files: exact round trips, a writer killed mid-save, damaged files."""

from __future__ import annotations

import errno
import hashlib
import io
import json
import os
import signal
import subprocess
import sys
import textwrap
import zipfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from orbisk_companion import Index, IndexFileError, _container, load

from plain import data, same


def filled(kind: str, metric: str = "cosine", keys=None) -> Index:
    rows = data(n=30)
    index = Index(
        4, metric, kind, allow_nonfinite=True, **({"fields": ["g"], "ef_search": 40} if kind == "graph" else {})
    )
    index.add(rows, keys=keys, metadata=[{"g": i % 3, "name": f"r{i}", "tags": [i, None, 1.5]} for i in range(30)])
    return index


def assert_same_index(a: Index, b: Index) -> None:
    assert (a.kind, a.dim, a.metric, a.fields, a.parameters, a.allow_nonfinite) == (
        b.kind,
        b.dim,
        b.metric,
        b.fields,
        b.parameters,
        b.allow_nonfinite,
    )
    assert a.keys == b.keys and [type(k) for k in a.keys] == [type(k) for k in b.keys]
    assert a.rows.tobytes() == b.rows.tobytes()  # bit for bit, NaN and -0.0 included
    assert [a.metadata(k) for k in a.keys] == [b.metadata(k) for k in b.keys]


@pytest.mark.parametrize("kind", ["flat", "graph", "sharded"])
@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
@pytest.mark.parametrize(
    "keys",
    [None, [f"id-{i}" for i in range(30)], [i * 7 - 50 for i in range(29)] + ["s"], [2**70 + i for i in range(30)]],
)
def test_round_trip_is_exact(tmp_path, kind, metric, keys):
    index = filled(kind, metric, keys)
    path = tmp_path / "index.npz"
    index.save(path)
    again = load(path)
    assert_same_index(index, again)
    Q = data(seed=3, n=20)[:8]
    for q in Q:
        (k1, s1), (k2, s2) = index.search(q, 30), again.search(q, 30)
        assert list(k1) == list(k2) and all(same(x, y) for x, y in zip(s1.tolist(), s2.tolist(), strict=True))


@pytest.mark.parametrize(
    "name, kind, metric, parameters, fields, keys, metadata, rows",
    [
        ("flat", "flat", "inner_product", {}, None, [-5, 2**62], [None, {"x": True}], [[1.0, 2.0], [3.0, 4.0]]),
        (
            "graph",
            "graph",
            "cosine",
            {"m": 4, "ef_construction": None, "ef_search": 10, "seed": None},  # its layers=None dropped
            ("colour",),
            ["a", 7, 2.5],
            [{"colour": "red", "n": [1, None]}, {"colour": 3}, {"colour": 1.5}],
            [[1.0, 0.0, -0.0], [0.5, 2.5, 0.1], [-1e-300, 3.0, 1e300]],
        ),
    ],
)
def test_files_written_by_the_first_release_load(name, kind, metric, parameters, fields, keys, metadata, rows):
    index = load(os.path.join(os.path.dirname(__file__), "data", f"version1_{name}.npz"))
    assert (index.kind, index.metric, index.parameters, index.fields) == (kind, metric, parameters, fields)
    assert index.keys == keys and [type(k) for k in index.keys] == [type(k) for k in keys]
    assert [index.metadata(k) for k in keys] == metadata
    assert index.rows.tobytes() == np.array(rows).tobytes()


def test_numpy_keys_and_metadata_values_are_saved_as_python_values(tmp_path):
    index = Index(2)
    meta = {"n": np.int64(3), "x": np.float32(0.5), "b": np.bool_(True)}
    index.add(np.zeros((3, 2)), keys=np.arange(10, 13), metadata=[meta, None, {}])
    meta["n"] = 4  # the index holds its own copy
    assert index.search([0.0, 0.0], 1)[0].dtype == np.int64
    index.save(tmp_path / "x.npz")
    again = load(tmp_path / "x.npz")
    assert again.keys == [10, 11, 12] and [type(k) for k in again.keys] == [int] * 3
    assert again.metadata(10) == {"n": 3, "x": 0.5, "b": True} and again.metadata(11) is None


@pytest.mark.parametrize(
    "key, meta, message",
    [
        ((1, 2), None, "keys must be str, int, float or bool"),
        (0, {"t": (1, 2)}, "field 't': tuple is not a JSON value"),
        (0, {"d": {3: "x"}}, "field 'd'"),
        (0, {"o": object()}, "field 'o': object is not a JSON value"),
    ],
)
def test_save_refuses_what_json_cannot_bring_back_and_writes_nothing(tmp_path, key, meta, message):
    index = Index(2)
    index.add(np.zeros((1, 2)), keys=[key], metadata=[meta])
    with pytest.raises(TypeError, match=message):
        index.save(tmp_path / "x.npz")
    assert os.listdir(tmp_path) == []


def test_metadata_field_names_must_be_str_from_the_first_add():
    index = Index(2)
    with pytest.raises(TypeError, match="field names must be str"):
        index.add(np.zeros((2, 2)), metadata=[{"a": 1}, {3: "x"}])
    assert len(index) == 0


def _dumps(value) -> bytes:
    return json.dumps(value, ensure_ascii=False, allow_nan=True, separators=(",", ":")).encode()


def version1(index: Index) -> bytes:
    """The index as the first release wrote it (a zip of npy members): the
    files the damage tests below start from, read by the version 1 reader."""
    n = len(index)
    rows = np.ascontiguousarray(index.rows, dtype="<f8")
    keys_list = index.keys
    if all(type(k) is int and -(2**63) <= k < 2**63 for k in keys_list):
        keys, key_kind = np.array(keys_list, dtype="<i8"), "int64"
    else:
        keys, key_kind = np.frombuffer(_dumps(keys_list), dtype=np.uint8), "json"
    meta = _dumps([index.metadata(k) for k in keys_list])
    digest = hashlib.sha256(rows.tobytes() + keys.tobytes() + meta).hexdigest()
    header = {
        "format": "orbisk-companion-index",
        "version": 1,
        "kind": index.kind,
        "dim": index.dim,
        "metric": index.metric,
        "parameters": index.parameters,
        "fields": None if index.fields is None else list(index.fields),
        "count": n,
        "keys": key_kind,
        "sha256": digest,
        "allow_nonfinite": index.allow_nonfinite,
    }
    out = io.BytesIO()
    np.savez(
        out,
        header=np.frombuffer(_dumps(header), dtype=np.uint8),
        rows=rows,
        keys=keys,
        metadata=np.frombuffer(meta, dtype=np.uint8),
    )
    return out.getvalue()


def _valid(tmp_path) -> bytes:
    return version1(filled("flat"))


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


@pytest.mark.parametrize(
    "damage, message",
    [
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
    ],
)
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


def _forged(blob: bytes, header=lambda h: None, **arrays) -> bytes:
    """The archive with members replaced, `header` applied to the header,
    and the checksum made to match the new members."""

    def change(a):
        a.update(arrays)
        h = json.loads(a["header"].tobytes())
        h["sha256"] = hashlib.sha256(a["rows"].tobytes() + a["keys"].tobytes() + a["metadata"].tobytes()).hexdigest()
        header(h)
        a["header"] = np.frombuffer(json.dumps(h).encode(), dtype=np.uint8)

    return _rezip(blob, change)


def _text(value) -> np.ndarray:
    return np.frombuffer(json.dumps(value).encode(), dtype=np.uint8)


def _graph(tmp_path) -> bytes:
    return version1(filled("graph"))


def _npy(blob: bytes) -> bytes:
    out = io.BytesIO()
    np.save(out, np.arange(10.0))
    return out.getvalue()


def _compressed(blob: bytes) -> bytes:
    with np.load(io.BytesIO(blob)) as z:
        arrays = {name: z[name] for name in z.files}
    out = io.BytesIO()
    np.savez_compressed(out, **arrays)
    return out.getvalue()


def _rows_member(blob: bytes, change) -> bytes:
    """The archive with rows.npy's bytes changed (the zip still sound)."""
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(blob)) as z, zipfile.ZipFile(out, "w") as w:
        for name in z.namelist():
            w.writestr(name, change(z.read(name)) if name == "rows.npy" else z.read(name))
    return out.getvalue()


# numpy refuses an npy header this long, advising allow_pickle.
_HUGE_NPY_HEADER = b"\x93NUMPY\x01\x00" + (60_000).to_bytes(2, "little") + b"{" + b" " * 59_998 + b"\n"


def _with_header_bytes(text: bytes):
    return lambda a: a.update(header=np.frombuffer(text, dtype=np.uint8))


@pytest.mark.parametrize(
    "damage, message",
    [
        (_npy, "damaged or not an index file"),
        (lambda b: b"0.5 1.5\n2.5 3.5\n", "damaged or not an index file"),
        (lambda b: b"\x93NUMPY" + bytes(100), "damaged or not an index file"),
        (_compressed, "member 'header' is compressed"),
        (lambda b: _rows_member(b, lambda m: _HUGE_NPY_HEADER), "member 'rows' is not a numpy array of this format"),
        (lambda b: _rows_member(b, lambda m: m[:-8]), "member 'rows' holds 952 bytes of data, its header says 960"),
        (lambda b: _rows_member(b, lambda m: m + b"\0"), "member 'rows' holds 961 bytes"),
        (lambda b: _rezip(b, lambda a: a.update(metadata=np.array([{"x": 1}], dtype=object))), "holds object"),
        (lambda b: _rezip(b, lambda a: a.update(rows=a["rows"].astype(">f8"))), "holds >f8"),
        (lambda b: _rezip(b, _with_header_bytes(b"\xff\xfe{")), "damaged or not an index file"),
        (lambda b: _rezip(b, _with_header_bytes(b"[" * 100_000)), "damaged or not an index file"),
        (lambda b: _rezip(b, _with_header_bytes(b"[1, 2]")), "not an index file of this format"),
        (lambda b: _forged(b, lambda h: h.pop("dim")), "the header has no field 'dim'"),
        (lambda b: _forged(b, lambda h: h.update(dim="4")), "header field 'dim' must be an int"),
        (lambda b: _forged(b, lambda h: h.update(dim=True)), "header field 'dim' must be an int"),
        (lambda b: _forged(b, lambda h: h.update(count=-1)), "header field 'count' must be"),
        (lambda b: _forged(b, lambda h: h.update(version=True)), "format version True"),
        (lambda b: _forged(b, lambda h: h.update(kind="tree")), "header field 'kind' must be one of"),
        (lambda b: _forged(b, lambda h: h.update(metric="angular")), "header field 'metric' must be one of"),
        (lambda b: _forged(b, lambda h: h.update(parameters={"backend": "ray"})), "header field 'parameters'"),
        (lambda b: _forged(b, lambda h: h.update(fields=["g"])), "header field 'fields'"),
        (lambda b: _forged(b, lambda h: h.update(keys="int32")), "header field 'keys'"),
        (lambda b: _forged(b, lambda h: h.update(sha256=12)), "header field 'sha256'"),
        (
            lambda b: _forged(b, lambda h: h.update(allow_nonfinite=1)),
            "header field 'allow_nonfinite' must be true or false",
        ),
        (lambda b: _forged(b, keys=_text([0] * 30)), "refused: duplicate key 0"),
        (lambda b: _forged(b, keys=_text([[i] for i in range(30)])), r"the keys hold \[0\]"),
        (lambda b: _forged(b, metadata=_text([3] * 30)), "the metadata entries hold 3"),
        (lambda b: _forged(b, metadata=_text([None] * 29)), "the metadata entries are not a list of 30"),
    ],
)
def test_every_bad_file_is_an_index_file_error_that_says_why(tmp_path, damage, message):
    bad = tmp_path / "bad.npz"
    bad.write_bytes(
        damage(
            _forged(_valid(tmp_path), keys=_text([f"k{i}" for i in range(30)]), header=lambda h: h.update(keys="json"))
        )
    )
    with pytest.raises(IndexFileError, match=message) as refused:
        load(bad)
    assert str(bad) in str(refused.value) and "pickle" not in str(refused.value)


def test_a_header_the_index_refuses_is_an_index_file_error(tmp_path):
    bad = tmp_path / "bad.npz"
    bad.write_bytes(_forged(_graph(tmp_path), lambda h: h.update(fields=["g", "g"])))
    with pytest.raises(IndexFileError, match="cannot be made: fields must not repeat a name"):
        load(bad)


_JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=8), inner, max_size=3),
    max_leaves=6,
)
_MISSING = object()
_FUZZ = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def _refused_or_loaded(path) -> Index | None:
    try:
        return load(path)
    except IndexFileError as e:
        assert "pickle" not in str(e)
        return None


@_FUZZ
@given(
    which=st.sampled_from(["flat", "graph"]),
    field=st.sampled_from(
        ["format", "version", "kind", "dim", "metric", "parameters", "fields", "count", "keys", "sha256"]
    ),
    value=st.one_of(st.just(_MISSING), _JSON, st.sampled_from(["flat", "graph", "sharded", "cosine", "json", 4, 30])),
)
def test_any_header_field_changed_is_refused_or_loads_as_it_says(tmp_path, which, field, value):
    blob = _valid(tmp_path) if which == "flat" else _graph(tmp_path)
    header = {}

    def change(h):
        if value is _MISSING:
            h.pop(field)
        else:
            h[field] = value
        header.update(h)

    path = tmp_path / "changed.npz"
    path.write_bytes(_rezip(blob, _header(change)))
    index = _refused_or_loaded(path)
    if index is not None:
        assert (index.kind, index.dim, index.metric, len(index)) == (
            header["kind"],
            header["dim"],
            header["metric"],
            header["count"],
        )
        index.close()


@_FUZZ
@given(st.binary(max_size=2000))
def test_random_bytes_are_refused(tmp_path, blob):
    path = tmp_path / "random.npz"
    path.write_bytes(blob)
    assert _refused_or_loaded(path) is None


@_FUZZ
@given(
    member=st.sampled_from(["header", "rows", "keys", "metadata"]),
    at=st.integers(0, 10_000),
    noise=st.binary(min_size=1, max_size=64),
)
def test_random_bytes_in_a_valid_zips_members_are_refused(tmp_path, member, at, noise):
    """Noise may leave a member as it was, or touch only its npy header's
    padding: then the file loads, as the same index."""
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(_valid(tmp_path))) as z, zipfile.ZipFile(out, "w") as w:
        for name in z.namelist():
            data = z.read(name)
            if name == f"{member}.npy":
                at %= len(data)
                data = data[:at] + noise + data[at + len(noise) :]
            w.writestr(name, data)
    path = tmp_path / "noisy.npz"
    path.write_bytes(out.getvalue())
    index = _refused_or_loaded(path)
    if index is not None:
        good = tmp_path / "good.npz"
        good.write_bytes(_valid(tmp_path))
        assert_same_index(index, load(good))


def test_every_truncation_of_a_small_file_is_refused(tmp_path):
    index = Index(2, "cosine")
    index.add(np.array([[1.0, 2.0]]), keys=["a"], metadata=[{"n": 1}])
    path = tmp_path / "small.npz"
    index.save(path)
    blob = path.read_bytes()
    for length in range(len(blob)):
        path.write_bytes(blob[:length])
        with pytest.raises(IndexFileError, match="small.npz"):
            load(path)
    path.write_bytes(blob)
    assert load(path).metadata("a") == {"n": 1}


@pytest.mark.parametrize("where, error", [("none.npz", FileNotFoundError), (".", IsADirectoryError)])
def test_an_os_error_about_the_path_itself_stays_one(tmp_path, where, error):
    with pytest.raises(error):
        load(tmp_path / where)


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002, 0o000])
def test_a_new_file_gets_the_umasks_mode_and_a_replaced_one_keeps_its_own(tmp_path, umask):
    old = os.umask(umask)
    try:
        Index(2).save(tmp_path / "new.npz")
        (tmp_path / "old.npz").write_bytes(b"")
        os.chmod(tmp_path / "old.npz", 0o640)
        Index(2).save(tmp_path / "old.npz")
    finally:
        os.umask(old)
    assert os.stat(tmp_path / "new.npz").st_mode & 0o7777 == 0o666 & ~umask
    assert os.stat(tmp_path / "old.npz").st_mode & 0o7777 == 0o640


@pytest.mark.parametrize("where, error", [("missing/x.npz", FileNotFoundError), ("folder", IsADirectoryError)])
def test_a_failed_save_names_the_path_given(tmp_path, where, error):
    (tmp_path / "folder").mkdir()
    path = tmp_path / where
    with pytest.raises(error) as failed:
        Index(2).save(path)
    assert failed.value.filename == str(path) and ".tmp" not in str(failed.value)
    assert sorted(os.listdir(tmp_path)) == ["folder"] and os.listdir(tmp_path / "folder") == []


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
    before = path.read_bytes()
    held = open(path, "rb")  # a reader of the old file keeps reading the old file
    Index(4).save(path)
    assert os.stat(path).st_ino != inode
    assert held.read() == before
    held.close()
    assert len(load(path)) == 0
    assert [p for p in os.listdir(tmp_path)] == ["index.npz"]


def _rewritten(path, change) -> None:
    """The file at `path` written again with its arrays changed by
    change(header, arrays), every checksum valid."""
    header, arrays = _container.read(path)
    arrays = dict(arrays)
    change(header, arrays)
    _container.write(path, header, arrays)


def _saved(tmp_path, keys=None):
    path = tmp_path / "index.idx"
    filled("flat", keys=keys).save(path)
    return path


def _json_keys(text: bytes):
    def change(header, arrays):
        header["keys"] = "json"
        arrays.pop("keys.blob", None)
        arrays.pop("keys.ends", None)
        arrays["keys"] = np.frombuffer(text, dtype=np.uint8).copy()

    return change


@pytest.mark.parametrize("mmap", [False, True])
@pytest.mark.parametrize(
    "text", [b'["a", "b"', b'["\xff"]', b"[" * 100_000, b"{}"], ids=["json", "utf8", "deep", "object"]
)
def test_keys_that_are_not_what_save_writes_are_an_index_file_error(tmp_path, text, mmap):
    path = _saved(tmp_path)
    _rewritten(path, _json_keys(text))
    with pytest.raises(IndexFileError, match="keys"):
        load(path, mmap=mmap)


@pytest.mark.parametrize("mmap", [False, True])
def test_every_array_of_another_dtype_or_shape_is_refused_with_valid_checksums(tmp_path, mmap):
    path = _saved(tmp_path, keys=list(range(10, 40)))
    names = list(_container.read(path)[1])
    assert "keys" in names and "rows" in names and len(names) > 10  # metadata and engine arrays too
    other = {"<f8": "<i8", "<i8": "<f8", "<f4": "<i4", "<i4": "<f4", "<u4": "<i4", "|u1": "|i1", "|i1": "|u1"}
    for name in names:
        for change in ("dtype", "shape"):

            def changed(header, arrays, name=name, change=change):
                a = arrays[name]
                if change == "dtype":
                    with np.errstate(invalid="ignore"):  # int64 keys as float64: [10.0, 11.0, ...]
                        arrays[name] = a.astype(other[a.dtype.str])
                else:
                    arrays[name] = a.reshape(1, -1) if a.ndim == 1 else a.reshape(-1)

            fresh = _saved(tmp_path, keys=list(range(10, 40)))
            _rewritten(fresh, changed)
            with pytest.raises(IndexFileError):
                load(fresh, mmap=mmap)
    # An array no index of its kind keeps, however named, is refused too.
    for extra in ("engine.junk", "engine.levels", "metadata.junk", "keys.junk"):
        fresh = _saved(tmp_path, keys=list(range(10, 40)))
        _rewritten(fresh, lambda header, arrays, extra=extra: arrays.update({extra: np.zeros(30)}))
        with pytest.raises(IndexFileError, match="junk|levels"):
            load(fresh, mmap=mmap)


def _flip(path, name: str) -> None:
    """One bit of array `name`'s first value flipped in the file (its checksum now wrong)."""
    entry = next(e for e in _table(path) if e["name"] == name)
    blob = bytearray(path.read_bytes())
    blob[entry["offset"]] ^= 1
    path.write_bytes(bytes(blob))


def _table(path) -> list:
    blob = path.read_bytes()
    length = int.from_bytes(blob[16:24], "little")
    return json.loads(blob[24 : 24 + length])["arrays"]


@pytest.mark.parametrize(
    "name", ["keys.blob", "keys.ends", "metadata.strings", "metadata.kinds", "rows", "engine.code_blocks"]
)
def test_a_mapped_load_checks_what_it_reads_at_open_and_with_verify_the_rows_and_codes(tmp_path, name):
    path = _saved(tmp_path, keys=[f"k{i}" for i in range(30)])
    _flip(path, name)
    in_place = name in ("rows", "keys.blob", "keys.ends") or name.startswith("engine.")
    if in_place:
        assert len(load(path, mmap=True)) == 30  # used in place, checked as it is used: not at open
    else:
        with pytest.raises(IndexFileError, match=f"checksum mismatch in array '{name}'"):
            load(path, mmap=True)
    with pytest.raises(IndexFileError, match=f"checksum mismatch in array '{name}'"):
        load(path, mmap=True, verify=True)


def test_saving_over_a_mapped_file_leaves_the_mapped_index_answering_as_before(tmp_path):
    path = _saved(tmp_path)
    mapped = load(path, mmap=True)
    answers = [(keys.tolist(), scores.tobytes()) for keys, scores in map(mapped.search, data(n=30)[:3])]
    Index(4, "cosine").save(path)  # a new file renamed over the mapped one
    assert [(keys.tolist(), scores.tobytes()) for keys, scores in map(mapped.search, data(n=30)[:3])] == answers
    assert len(load(path)) == 0


def test_the_next_save_removes_the_temporary_files_of_writers_that_no_longer_run(tmp_path):
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    host = _container._HOST
    names = {
        "dead": f".a.idx.{host}.{int(dead.stdout)}.0123456789ab.tmp",
        "alive": f".a.idx.{host}.{os.getppid()}.0123456789ab.tmp",
        "other host": f".a.idx.{'0' * 8 if host != '0' * 8 else '1' * 8}.{int(dead.stdout)}.0123456789ab.tmp",
        "not ours": ".a.idx.0123456789ab.tmp",
    }
    for name in names.values():
        (tmp_path / name).write_bytes(b"x")
    Index(2).save(tmp_path / "b.idx")
    assert sorted(os.listdir(tmp_path)) == sorted({*names.values(), "b.idx"} - {names["dead"]})


_FULL = textwrap.dedent("""
    import resource, signal, sys, numpy as np
    from orbisk_companion import Index
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the cap fails, as on a full disk
    index = Index(16)
    index.add(np.ones((20_000, 16)))
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
    try:
        index.save(sys.argv[1])
    except OSError as e:
        print(e.errno, e.filename)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="a cap on file sizes needs Linux")
def test_a_full_disk_is_an_os_error_naming_the_path_with_the_old_file_intact(tmp_path):
    path = _saved(tmp_path)
    before = path.read_bytes()
    done = subprocess.run([sys.executable, "-c", _FULL, str(path)], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == [str(errno.EFBIG), str(path)], done.stderr
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["index.idx"]
