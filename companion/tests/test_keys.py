"""Keys kept without a Python object per row: each form through files, the
map of keys built once by the first lookup, and damaged key arrays refused."""

from __future__ import annotations

import os
import threading
import time

import numpy as np
import pytest

from orbisk_companion import Index, IndexFileError, _keys, load

from test_persistence import _rewritten

DATA = os.path.join(os.path.dirname(__file__), "data")
FORMS = {
    "int": [5, -(2**63), 2**63 - 1, 0, 12],
    "str": ["a", "", "é", "\ud800", "😀"],
    "object": ["a", 1, 2.5, False, "b"],
}


def _index(keys: list, *, removed: bool = True) -> Index:
    index = Index(3)
    index.add(np.arange(15.0).reshape(5, 3), keys=keys, metadata=[{"i": i} for i in range(5)])
    if removed:
        index.remove([keys[1]])  # a tombstone, compacted away by the save
    return index


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("mmap", [False, True])
def test_each_form_of_keys_comes_back_from_a_file_and_is_found_by_key(tmp_path, form, mmap):
    keys = FORMS[form]
    path = tmp_path / "ix.idx"
    _index(keys).save(path)
    again = load(path, mmap=mmap)
    left = [keys[0], *keys[2:]]
    assert again._keys.form == form and again._row_of is None
    assert again.keys == left and [type(k) for k in again.keys] == [type(k) for k in left]
    found = again.search([12.0, 13.0, 14.0], 4)[0]
    assert found.dtype == (np.int64 if form == "int" else object) and found.tolist() == left[::-1]
    assert [again.metadata(k) for k in left] == [{"i": i} for i in (0, 2, 3, 4)]
    again.remove([left[0]])
    again.add(np.zeros((1, 3)), keys=[keys[1]])
    assert keys[1] in again and left[0] not in again and again.keys == [*left[1:], keys[1]]


@pytest.mark.parametrize(
    "steps, run",
    [
        ([], True),  # default keys: a run, no array
        (["add"], True),  # default keys go on from len(index): the run goes on
        (["remove_last", "compact", "add"], True),  # the keys left are still a run
        (["remove_first", "compact"], True),  # a run from 1
        (["remove_middle", "compact"], False),  # a gap: an array
        (["remove_middle", "add"], False),  # default keys fill no gap: an array
        (["keys"], False),  # explicit keys after the run
        (["update"], False),  # an updated row moves to the end with its key
        (["str"], None),  # str keys after int keys: objects
    ],
)
@pytest.mark.parametrize("mmap", [False, True])
def test_default_keys_are_kept_as_a_run_until_a_change_breaks_it(tmp_path, steps, run, mmap):
    index, model = Index(2), list(range(4))
    index.add(np.arange(8.0).reshape(4, 2))
    for step in steps:
        if step == "add":
            model += [k for k in range(len(model), len(model) + 4) if k not in model][:2]
            index.add(np.ones((2, 2)))
        elif step.startswith("remove"):
            key = {"remove_last": 3, "remove_first": 0, "remove_middle": 1}[step]
            model.remove(key)
            index.remove([key])
        elif step == "compact":
            index.compact()
        elif step == "keys":
            model += [10, 11]
            index.add(np.ones((2, 2)), keys=range(10, 12))  # a range, but not the run's next keys
        elif step == "update":
            model = [0, 2, 3, 1]
            index.update([1], [[9.0, 9.0]])
        elif step == "str":
            model += ["a"]
            index.add(np.ones((1, 2)), keys=["a"])
    assert index.keys == model and (index._keys.start is not None) == bool(run)
    path = tmp_path / "ix.idx"
    index.save(path)
    again = load(path, mmap=mmap)
    assert again.keys == model and (again._keys.start is not None) == bool(run)
    assert again.search([0.0, 1.0], len(model))[0].tolist() == index.search([0.0, 1.0], len(model))[0].tolist()
    assert all(key in again for key in model) and -1 not in again
    again.add(np.zeros((1, 2)))
    assert again.keys[-1] not in model and again.keys[:-1] == model


def test_keys_of_several_forms_in_one_index_widen_to_objects():
    index = _index(["a", "b", "c", "d", "e"], removed=False)
    index.add(np.zeros((2, 3)))  # default keys: ints from len(index) on
    assert index._keys.form == "object" and index.keys == ["a", "b", "c", "d", "e", 5, 6]
    with pytest.raises(ValueError, match="duplicate key 'a'"):
        index.add(np.zeros((1, 3)), keys=["a"])
    ints = _index([10, 11, 12, 13, 14], removed=False)
    with pytest.raises(ValueError, match="duplicate key 12"):
        ints.add(np.zeros((2, 3)), keys=np.array([20, 12]))  # found without a map of the keys
    assert ints._row_of is not None  # built to name the key


@pytest.mark.parametrize("name", ["version2_flat_str", "version2_flat_int"])
def test_files_of_the_previous_version_load(name):
    index = load(os.path.join(DATA, f"{name}.idx"))
    if name.endswith("str"):
        keys = ["a", "b", "ü", "dup-less", "", "z€"]
        assert index._keys.form == "str" and index.metric == "cosine"
        assert [index.metadata(k) for k in ("a", "b", "")] == [{"g": 1, "s": "x"}, None, {}]
    else:
        keys = [10, -3, 2**40, 0, 5]  # 7 was removed before the save
        assert index._keys.form == "int" and index.metadata(0) == {"g": 0}
    assert index.keys == keys and len(index.rows) == len(keys)


def test_the_map_of_keys_is_built_once_by_racing_first_lookups(monkeypatch):
    index = _index([f"k{i}" for i in range(5)])
    index._row_of = None  # as after a load
    built = []
    row_map = _keys.Keys.row_map

    def slow(self, ids):
        built.append(1)
        time.sleep(0.05)  # the other readers arrive meanwhile
        return row_map(self, ids)

    monkeypatch.setattr(_keys.Keys, "row_map", slow)
    start = threading.Barrier(6)
    answers = []

    def look(key):
        start.wait()
        answers.append((key in index, index.metadata(key) if key in index else None))

    threads = [threading.Thread(target=look, args=(f"k{i}",)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(built) == 1
    assert sorted(answers, key=repr) == sorted([(True, {"i": i}) for i in (0, 2, 3, 4)] + [(False, None)] * 2, key=repr)


def _damaged(change):
    def rewrite(header, arrays):
        arrays["keys.blob"], arrays["keys.ends"] = change(arrays["keys.blob"].copy(), arrays["keys.ends"].copy())

    return rewrite


# The saved keys "ab", "é", "dd", "e": the text "abéddde" (é two bytes),
# ends [2, 4, 6, 7]. Each damage, and whether a mapped open sees it.
DAMAGE = {
    "ends out of order": (lambda b, e: (b, e[[1, 0, 2, 3]]), False),
    "ends past the text": (lambda b, e: (b, e + np.array([0, 0, 0, 1])), False),
    "ends short of the text": (lambda b, e: (b, e - np.array([0, 0, 0, 1])), False),
    "text not UTF-8": (lambda b, e: (np.where(np.arange(len(b)) == 0, 0xFF, b).astype(np.uint8), e), False),
    "a key cut inside a character": (lambda b, e: (b, e - np.array([0, 1, 0, 0])), False),
    "ends as int32": (lambda b, e: (b, e.astype(np.int32)), True),
    "ends of another shape": (lambda b, e: (b, e[:3]), True),
    "text as int8": (lambda b, e: (b.view(np.int8), e), True),
}


@pytest.mark.parametrize("damage", DAMAGE)
def test_damaged_string_keys_are_an_index_file_error_when_loaded_or_first_read(tmp_path, damage):
    change, at_open = DAMAGE[damage]
    path = tmp_path / "ix.idx"
    _index(["ab", "c", "é", "dd", "e"]).save(path)
    _rewritten(path, _damaged(change))
    for options in ({}, {"mmap": True, "verify": True}, *([{"mmap": True}] if at_open else [])):
        with pytest.raises(IndexFileError):
            load(path, **options)
    if not at_open:
        mapped = load(path, mmap=True)  # the keys are used in place: checked when first read
        with pytest.raises(IndexFileError, match="its keys are damaged"):
            mapped.search([0.0, 1.0, 2.0], 2)
