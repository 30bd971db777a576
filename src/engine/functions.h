#pragma once

#include <Python.h>

namespace orbisk::engine {

/// crc32(data, value=0, /): zlib.crc32's value for a C-contiguous buffer.
PyObject* checksum(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

/// first_nonfinite(rows, /): the first row (of a 2-D float array; 0 for a
/// 1-D one) holding NaN or an infinity, or None.
PyObject* first_nonfinite(PyObject* module, PyObject* rows);

/// first_repeat(text, ends, /): the position of the first of the texts
/// cut from a bytes-like `text` at int64 `ends` equal to one before it, or
/// None.
PyObject* first_repeat(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

/// encode_texts(keys, /): for a list of str, (their UTF-8 text one after the
/// other as bytes, the native int64 end of each in it as bytes); None when
/// an item is not a str, or holds a lone surrogate.
PyObject* encode_texts(PyObject* module, PyObject* keys);

}  // namespace orbisk::engine
