#pragma once

#include <Python.h>

namespace orbisk::engine {

/// crc32(data, value=0, /): zlib.crc32's value for a C-contiguous buffer.
PyObject* checksum(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace orbisk::engine
