"""orbisk_engine.crc32 against zlib.crc32: every length around the folding's
lanes (16 bytes) and blocks (64), continued from any value, in pieces."""

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
