"""orbisk_engine's functions over buffers: crc32 against zlib.crc32 (every
length around the folding's lanes of 16 bytes and blocks of 64, continued
from any value, in pieces), and first_nonfinite."""

import zlib

import numpy as np
import pytest

import orbisk_engine

DATA = np.random.default_rng(5).integers(0, 256, 4 * 1024 + 300, dtype=np.uint8).tobytes()


@pytest.mark.parametrize("start", [0, 1, 0xFFFFFFFF, 0x9E3779B9])
def test_every_length_and_start_value_gives_zlibs_crc(start):
    for n in [*range(200), 255, 256, 257, 1023, 1024, 1025, len(DATA)]:
        assert orbisk_engine.crc32(DATA[:n], start) == zlib.crc32(DATA[:n], start), n


def test_a_crc_continued_piece_by_piece_is_the_whole_ones():
    crc = 0
    for at in range(0, len(DATA), 100):
        crc = orbisk_engine.crc32(memoryview(DATA)[at : at + 100], crc)
    assert crc == zlib.crc32(DATA)
    big = np.frombuffer(DATA * 300, dtype=np.uint8)  # past the size that releases the interpreter lock
    assert orbisk_engine.crc32(big) == zlib.crc32(big)


@pytest.mark.parametrize("bad", [np.arange(10.0)[::2], "text", None])
def test_what_is_not_a_contiguous_buffer_is_refused(bad):
    with pytest.raises((TypeError, BufferError, ValueError)):
        orbisk_engine.crc32(bad)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("at", [(0, 0), (0, 12), (6, 5), (9, 12)])
def test_first_nonfinite_names_the_first_row_holding_nan_or_an_infinity(dtype, bad, at):
    rows = np.full((10, 13), np.finfo(dtype).max, dtype=dtype)  # the largest finite value is finite
    rows[1::2] = -np.finfo(dtype).tiny / 2  # so is a subnormal
    assert orbisk_engine.first_nonfinite(rows) is None
    rows[at] = bad
    rows[9, 0] = bad
    assert orbisk_engine.first_nonfinite(rows) == at[0]
    assert orbisk_engine.first_nonfinite(rows[at[0]]) == 0
    assert orbisk_engine.first_nonfinite(rows[at[0] + 1 : 9]) is None


@pytest.mark.parametrize("bad", [np.zeros((3, 4), dtype=np.int64), np.zeros((2, 2, 2)), np.zeros((4, 4))[:, ::2], "x"])
def test_first_nonfinite_refuses_what_is_not_a_contiguous_float_array(bad):
    with pytest.raises((TypeError, BufferError, ValueError)):
        orbisk_engine.first_nonfinite(bad)


def _first_repeat_of(keys):
    seen = set()
    for i, k in enumerate(keys):
        if k in seen:
            return i
        seen.add(k)
    return None


@pytest.mark.parametrize(
    "keys",
    [
        [],
        [""],
        ["", "a", ""],  # empty texts are equal
        ["ab", "a", "b", "abc", "ba"],  # prefixes and permutations differ
        ["12345678", "123456789", "1234567", "12345678"],  # around the 8-byte words
        ["é", "e", "\u00e9"],
        [f"w{i:06d}" for i in range(70_000)] + ["w069999", "w000000"],  # past the released-lock size
        [f"key number {i}" for i in range(3_000)] * 2,
    ],
)
def test_first_repeat_names_the_first_text_equal_to_one_before_it(keys):
    text, ends = orbisk_engine.encode_texts(keys)
    ends = np.frombuffer(ends, dtype=np.int64)
    assert text == "".join(keys).encode() and ends.tolist() == np.cumsum([len(k.encode()) for k in keys]).tolist()
    assert orbisk_engine.first_repeat(text, ends) == _first_repeat_of(keys)


@pytest.mark.parametrize("keys", [["a", 1], ["a", "\ud800"], ["a", type("S", (str,), {})("b")], [b"a"]])
def test_encode_texts_leaves_what_is_not_plain_text_to_the_caller(keys):
    assert orbisk_engine.encode_texts(keys) is None


@pytest.mark.parametrize(
    "ends, error",
    [
        (np.array([2, 1], dtype=np.int64), ValueError),  # falling
        (np.array([-1], dtype=np.int64), ValueError),
        (np.array([4], dtype=np.int64), ValueError),  # past the text
        (np.array([1, 2], dtype=np.int32), TypeError),
        (np.array([[1]], dtype=np.int64), TypeError),
    ],
)
def test_first_repeat_refuses_ends_outside_the_text(ends, error):
    with pytest.raises(error):
        orbisk_engine.first_repeat(b"abc", ends)
    with pytest.raises(TypeError, match="takes a text and its ends"):
        orbisk_engine.first_repeat(b"abc")
