#pragma once

#include <Python.h>

namespace orbisk::engine {

/// crc32(data, value=0, /): zlib.crc32's value for a C-contiguous buffer.
PyObject* checksum(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

/// first_nonfinite(rows, /): the first row (of a 2-D float array; 0 for a
/// 1-D one) holding NaN or an infinity, or None.
PyObject* first_nonfinite(PyObject* module, PyObject* rows);

}  // namespace orbisk::engine
