"""The array container of index files: round trips, mapping, damaged files,
atomic writes."""

from __future__ import annotations

import json
import os
import signal
import struct
import subprocess
import sys
import textwrap
import zlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from orbisk_companion import IndexFileError, _container as container

DTYPES = ["<f8", "<f4", "<i8", "<i4", "<u4", "i1", "u1", "?"]
SHAPES = [(0,), (5,), (3, 4), (0, 7), (), (2, 0, 3), (1, 1, 1, 2), (0, 2**59)]
HEADER = {"kind": "flat", "dim": 4, "nested": {"list": [1, None, "é", 2.5, -0.0, True]}}


def sample(dtype: str, shape: tuple[int, ...], seed: int = 0) -> np.ndarray:
    raw = np.random.default_rng(seed).integers(
        0, 256, size=int(np.prod(shape)) * np.dtype(dtype).itemsize, dtype=np.uint8
    )
    if dtype == "?":
        raw &= 1
    return raw.view(dtype).reshape(shape)  # every bit pattern, NaNs included


def small() -> dict[str, np.ndarray]:
    return {
        "rows": sample("<f8", (3, 4)),
        "empty": np.empty((0, 4)),
        "codes": sample("u1", (3, 5)),
        "mask": np.array([True, False, True]),
    }


@pytest.fixture
def good(tmp_path):
    path = tmp_path / "good.idx"
    container.write(path, HEADER, small())
    return path


def table_of(blob: bytes) -> list[dict]:
    return json.loads(blob[24 : 24 + struct.unpack_from("<Q", blob, 16)[0]])["arrays"]


def same(a: np.ndarray, b: np.ndarray) -> bool:
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("mmap", [False, True])
@pytest.mark.parametrize("dtype", DTYPES)
def test_every_dtype_and_shape_comes_back_bit_for_bit(tmp_path, dtype, mmap):
    arrays = {f"a{i}": sample(dtype, shape, i) for i, shape in enumerate(SHAPES)}
    container.write(tmp_path / "x", HEADER, arrays)
    header, back = container.read(tmp_path / "x", mmap=mmap)
    assert header == HEADER and list(back) == list(arrays)
    assert all(same(arrays[name], back[name]) for name in arrays)
    assert all(back[name].flags.writeable != mmap for name in back)


@pytest.mark.parametrize("aside", [False, True])
def test_arrays_of_several_chunks_have_the_checksums_of_all_their_bytes(tmp_path, monkeypatch, aside):
    # Summed at once, or on a thread of their own while the next chunks are read or written.
    monkeypatch.setattr(container, "_CHUNK", 1 << 16)
    monkeypatch.setattr(container, "_SUMMED_ASIDE", 0 if aside else 1 << 62)
    arrays = {"a": sample("<f8", (3 * (1 << 16) // 8 + 5,)), "b": sample("<i4", (1 << 15,)), "c": sample("<f4", (0,))}
    container.write(tmp_path / "x", {}, arrays)
    blob = bytearray((tmp_path / "x").read_bytes())
    table = table_of(blob)
    assert [e["crc32"] for e in table] == [f"{zlib.crc32(a.tobytes()):08x}" for a in arrays.values()]
    assert all(same(container.read(tmp_path / "x")[1][name], a) for name, a in arrays.items())
    for entry in table[:2]:  # a byte of the last chunk of each: refused
        at = entry["offset"] + entry["nbytes"] - 1
        blob[at] ^= 1
        (tmp_path / "y").write_bytes(bytes(blob))
        blob[at] ^= 1
        with pytest.raises(container.IndexFileError, match=f"checksum mismatch in array '{entry['name']}'"):
            container.read(tmp_path / "y")


def test_arrays_start_aligned_and_the_file_ends_with_the_last(tmp_path):
    container.write(tmp_path / "x", {}, small())
    blob = (tmp_path / "x").read_bytes()
    table = table_of(blob)
    assert blob.startswith(container.MAGIC) and all(e["offset"] % 64 == 0 for e in table)
    assert len(blob) == table[-1]["offset"] + table[-1]["nbytes"]


@pytest.mark.parametrize(
    "array",
    [np.arange(24.0).reshape(4, 6).T, np.arange(10, dtype=">i4")[::3], np.asfortranarray(np.ones((3, 2), np.float32))],
)
def test_arrays_not_c_contiguous_or_big_endian_are_written_as_their_values(tmp_path, array):
    container.write(tmp_path / "x", {}, {"a": array})
    back = container.read(tmp_path / "x")[1]["a"]
    assert np.array_equal(back, array) and back.dtype == array.dtype.newbyteorder("<") and back.flags.c_contiguous


def test_mapped_arrays_are_read_only_and_outlive_the_file(tmp_path, good):
    fds = set(os.listdir("/proc/self/fd"))
    arrays = container.read(good, mmap=True)[1]
    assert set(os.listdir("/proc/self/fd")) <= fds  # nothing left open
    with pytest.raises(ValueError, match="read-only"):
        arrays["rows"][0, 0] = 1.0
    container.write(good, {}, {"rows": np.zeros((3, 4))})  # replaced by rename: the mapping keeps the old
    assert same(arrays["rows"], small()["rows"])
    os.unlink(good)
    assert same(arrays["codes"], small()["codes"])


def test_mapped_arrays_can_be_written_over_their_own_file(tmp_path, good):
    header, arrays = container.read(good, mmap=True)
    container.write(good, header, {name: a[::-1] for name, a in arrays.items()})
    again = container.read(good)[1]
    assert all(same(again[name], np.ascontiguousarray(a[::-1])) for name, a in small().items())


@pytest.mark.parametrize(
    "header, arrays, error, message",
    [
        ([1], {}, TypeError, "must be a dict"),
        ({"t": (1, 2)}, {}, TypeError, "does not come back equal"),
        ({1: "x"}, {}, TypeError, "does not come back equal"),
        ({"x": float("nan")}, {}, ValueError, "not JSON compliant"),
        ({"x": np.int64(3)}, {}, TypeError, "not JSON serializable"),
        ({}, {"a": [1.0, 2.0]}, TypeError, "a numpy array is needed"),
        ({}, {"a": np.zeros(2, np.float16)}, TypeError, "dtype float16 is not one of"),
        ({}, {"a": np.zeros(2, np.complex128)}, TypeError, "dtype complex128"),
        ({}, {"a": np.array(["x"], dtype=object)}, TypeError, "dtype object"),
        ({}, {3: np.zeros(2)}, TypeError, "names must be str"),
    ],
)
def test_write_refuses_before_touching_a_file(tmp_path, header, arrays, error, message):
    with pytest.raises(error, match=message):
        container.write(tmp_path / "x", header, arrays)
    assert os.listdir(tmp_path) == []


def test_is_container_reads_the_magic_only(tmp_path, good):
    version1 = os.path.join(os.path.dirname(__file__), "data", "version1_flat.npz")
    (tmp_path / "short").write_bytes(container.MAGIC[:5])
    assert container.is_container(good) and not container.is_container(version1)
    assert not container.is_container(tmp_path / "short")


# ------------------------------------------------------------ damaged files


def forged(blob: bytes, change) -> bytes:
    """The file with its JSON header changed by `change` and its CRC and
    length made to match. The arrays' offsets are left as they were: a
    shorter header is padded with spaces to the same length."""
    length = struct.unpack_from("<Q", blob, 16)[0]
    document = json.loads(blob[24 : 24 + length])
    change(document)
    text = json.dumps(document, separators=(",", ":")).encode().ljust(length)
    return struct.pack("<8sIIQ", container.MAGIC, 2, zlib.crc32(text), len(text)) + text + blob[24 + length :]


def entry(i: int, **fields):
    def change(document):
        document["arrays"][i].update(fields)

    return change


def refused(path, mmap: bool = False) -> str:
    with pytest.raises(IndexFileError) as caught:
        container.read(path, mmap=mmap)
    assert str(path) in str(caught.value)
    return str(caught.value)


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda b: b"", "no magic number"),
        (lambda b: b[:20], "shorter than the 24 bytes"),
        (lambda b: b[:8] + b"\x03" + b[9:], "format version 3; this reads version 2"),
        (lambda b: b[:16] + struct.pack("<Q", len(b)) + b[24:], "a header of"),
        (lambda b: b[:16] + struct.pack("<Q", 2**64 - 1) + b[24:], "a header of"),
        (lambda b: b[:30] + b"X" + b[31:], "header checksum mismatch"),
        (lambda b: b + b"\0", "1 bytes past the end of the last array"),
        (lambda b: b[:-1], "past the end of the file"),
        (lambda b: forged(b, lambda d: d.pop("arrays")), "not an object of the fields"),
        (lambda b: forged(b, lambda d: d.update(extra=1)), "not an object of the fields"),
        (lambda b: forged(b, lambda d: d.update(header=[])), "'header' is not an object"),
        (lambda b: forged(b, lambda d: d.update(arrays={})), "'arrays' is not a list"),
        (lambda b: forged(b, lambda d: d["arrays"].__setitem__(0, [])), "entry 0 is not an object"),
        (lambda b: forged(b, entry(0, colour="red")), "fields this does not know: ['colour']"),
        (lambda b: forged(b, entry(0, dtype=">f8")), "field 'dtype' must be one of"),
        (lambda b: forged(b, entry(0, shape=[3, -4])), "field 'shape' must be"),
        (lambda b: forged(b, entry(0, shape=[3, True, 4])), "field 'shape' must be"),
        (lambda b: forged(b, entry(0, shape=[1] * 65)), "field 'shape' must be"),
        (lambda b: forged(b, entry(1, shape=[0, 2**62])), "field 'shape' must be"),
        (lambda b: forged(b, entry(0, offset=65)), "field 'offset' must be a multiple of 64"),
        (lambda b: forged(b, entry(0, nbytes=95)), "nbytes 95, its shape and dtype take 96"),
        (lambda b: forged(b, entry(0, crc32=12)), "field 'crc32' must be 8 lowercase hex digits"),
        (lambda b: forged(b, entry(0, name=None)), "field 'name' must be a str"),
        (lambda b: forged(b, entry(1, name="rows")), "two arrays are named 'rows'"),
        (lambda b: forged(b, entry(0, shape=[1000, 4], nbytes=32000)), "array 'rows' ends at byte"),
        (lambda b: forged(b, entry(3, shape=[4], nbytes=4)), "array 'mask' ends at byte"),
        (lambda b: forged(b, entry(2, offset=0)), "overlaps what comes before it"),
        (lambda b: forged(b, entry(2, shape=[5, 13], nbytes=65)), "overlaps what comes before it"),  # by one byte
        (lambda b: forged(b, lambda d: d["arrays"][2].update(offset=d["arrays"][2]["offset"] + 64)), "leaves a gap"),
        (lambda b: forged(b, lambda d: d["arrays"].reverse()), "leaves a gap"),
        (lambda b: forged(b, lambda d: d["arrays"].append(dict(d["arrays"][0], name="z"))), "overlaps"),
    ],
)
@pytest.mark.parametrize("mmap", [False, True])
def test_every_bad_structure_is_refused_saying_why(tmp_path, good, damage, message, mmap):
    blob = good.read_bytes()
    bad = tmp_path / "bad.idx"
    bad.write_bytes(damage(blob))
    assert message in refused(bad, mmap)


@pytest.mark.parametrize("field", list(container._ENTRY))
def test_each_entry_field_missing_is_refused(tmp_path, good, field):
    bad = tmp_path / "bad.idx"
    bad.write_bytes(forged(good.read_bytes(), lambda d: d["arrays"][0].pop(field)))
    assert f"has no field {field!r}" in refused(bad)


def test_every_byte_changed_is_refused_by_a_full_read_and_outside_data_by_a_mapping(tmp_path, good):
    blob = bytearray(good.read_bytes())
    data = {at for e in table_of(blob) for at in range(e["offset"], e["offset"] + e["nbytes"])}
    bad = tmp_path / "bad.idx"
    for at in range(len(blob)):
        blob[at] ^= 0x02
        bad.write_bytes(bytes(blob))
        refused(bad)
        if at not in data:  # a mapping trusts the arrays' bytes
            refused(bad, mmap=True)
        blob[at] ^= 0x02


def test_a_bool_array_of_other_bytes_is_refused(tmp_path):
    bad = tmp_path / "bad.idx"
    container.write(bad, {}, {"mask": np.array([0, 1, 2], np.uint8).view(bool)})
    assert "bytes other than 0 and 1" in refused(bad)


def test_every_truncation_is_refused(tmp_path, good):
    blob = good.read_bytes()
    bad = tmp_path / "bad.idx"
    for length in range(len(blob)):
        bad.write_bytes(blob[:length])
        refused(bad)
        refused(bad, mmap=True)


_FUZZ = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
_JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=6),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6), inner, max_size=3),
    max_leaves=5,
)
_MISSING = object()


def refused_or_read(path, mmap: bool) -> tuple[dict, dict] | None:
    try:
        return container.read(path, mmap=mmap)
    except IndexFileError as e:
        assert str(path) in str(e)
        return None


@_FUZZ
@given(
    blob=st.binary(max_size=600),
    prefix=st.sampled_from([b"", container.MAGIC, container.MAGIC + b"\x02\0\0\0"]),
    mmap=st.booleans(),
)
def test_random_bytes_are_refused(tmp_path, blob, prefix, mmap):
    path = tmp_path / "random.idx"
    path.write_bytes(prefix + blob)
    assert refused_or_read(path, mmap) is None


@_FUZZ
@given(
    i=st.integers(0, 3),
    field=st.sampled_from(list(container._ENTRY)),
    mmap=st.booleans(),
    value=st.one_of(st.just(_MISSING), _JSON, st.integers(-1, 1000), st.sampled_from(DTYPES + ["<u1", "|b1"])),
)
def test_any_entry_field_changed_is_refused_or_read_as_it_says(tmp_path, i, field, value, mmap):
    path = tmp_path / "changed.idx"
    container.write(path, HEADER, small())

    def change(document):
        if value is _MISSING:
            document["arrays"][i].pop(field)
        else:
            document["arrays"][i][field] = value

    path.write_bytes(forged(path.read_bytes(), change))
    got = refused_or_read(path, mmap)
    if got is not None:  # the value was one that fits: the arrays are what the table says
        assert [(e["name"], e["dtype"], e["shape"]) for e in table_of(path.read_bytes())] == [
            (n, a.dtype.str, list(a.shape)) for n, a in got[1].items()
        ]


@_FUZZ
@given(field=st.sampled_from(["header", "arrays"]), value=_JSON, mmap=st.booleans())
def test_any_top_level_field_changed_is_refused_unless_the_header_is_an_object(tmp_path, field, value, mmap):
    path = tmp_path / "changed.idx"
    container.write(path, HEADER, small())
    before = path.read_bytes()
    path.write_bytes(forged(before, lambda d: d.update({field: value})))
    try:
        got = container.read(path, mmap=mmap)
    except IndexFileError:  # any header object is read, unless it moved the arrays
        assert not (field == "header" and isinstance(value, dict)) or path.stat().st_size != len(before)
    else:
        assert field == "header" and got[0] == value


@pytest.mark.parametrize("where, error", [("none.idx", FileNotFoundError), (".", IsADirectoryError)])
@pytest.mark.parametrize("mmap", [False, True])
def test_an_os_error_about_the_path_itself_stays_one(tmp_path, where, error, mmap):
    with pytest.raises(error):
        container.read(tmp_path / where, mmap=mmap)
    with pytest.raises(error):
        container.is_container(tmp_path / where)


# ----------------------------------------------------------- atomic writes


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002, 0o000])
def test_a_new_file_gets_the_umasks_mode_and_a_replaced_one_keeps_its_own(tmp_path, umask):
    old = os.umask(umask)
    try:
        container.write(tmp_path / "new", {}, {})
        (tmp_path / "old").write_bytes(b"")
        os.chmod(tmp_path / "old", 0o640)
        container.write(tmp_path / "old", {}, {})
    finally:
        os.umask(old)
    assert os.stat(tmp_path / "new").st_mode & 0o7777 == 0o666 & ~umask
    assert os.stat(tmp_path / "old").st_mode & 0o7777 == 0o640


@pytest.mark.parametrize("where, error", [("missing/x", FileNotFoundError), ("folder", IsADirectoryError)])
def test_a_failed_write_names_the_path_given(tmp_path, where, error):
    (tmp_path / "folder").mkdir()
    path = tmp_path / where
    with pytest.raises(error) as failed:
        container.write(path, {}, {"a": np.zeros(3)})
    assert failed.value.filename == str(path) and ".tmp" not in str(failed.value)
    assert sorted(os.listdir(tmp_path)) == ["folder"] and os.listdir(tmp_path / "folder") == []


_WRITER = textwrap.dedent("""
    import sys, time, numpy as np
    from orbisk_companion import _container
    def slow(fd):                   # the file is written; wait to be killed before it is renamed
        print("writing", flush=True)
        time.sleep(60)
    _container.os.fsync = slow
    _container.write(sys.argv[1], {}, {"rows": np.ones((100_000, 64))})
""")


def test_a_writer_killed_mid_write_leaves_the_old_file_intact(tmp_path, good):
    before = good.read_bytes()
    writer = subprocess.Popen([sys.executable, "-c", _WRITER, str(good)], stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline() == "writing\n"
        leftovers = [p for p in os.listdir(tmp_path) if p.endswith(".tmp")]
        assert leftovers and os.path.getsize(tmp_path / leftovers[0]) > 50_000_000
        os.kill(writer.pid, signal.SIGKILL)
    finally:
        writer.wait(30)
    assert writer.returncode == -signal.SIGKILL and good.read_bytes() == before
    assert container.read(good)[0] == HEADER
