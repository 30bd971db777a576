// orbisk_engine: the exact flat index for numpy users. Rows and queries come
// in as 2-D buffers, results go out as buffers that numpy wraps without a
// copy, and a batch of queries runs on every core with the interpreter lock
// released. The index and its scan are orbisk's own (flat/), so every result
// row is bit for bit what orbisk.PyFlat.search gives for that query.

#include <Python.h>

#include "binding/matrix.h"
#include "binding/ref.h"
#include "binding/results.h"
#include "engine/flat_object.h"
#include "engine/functions.h"
#include "engine/graph_object.h"

namespace orbisk::engine {

namespace {

PyMethodDef functions[] = {
    {"crc32", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(checksum)), METH_FASTCALL,
     "crc32(data, value=0, /)\n--\n\nzlib.crc32's value for the bytes of a C-contiguous buffer, continuing from "
     "`value`; the interpreter lock is released over large buffers."},
    {"first_nonfinite", first_nonfinite, METH_O,
     "first_nonfinite(rows, /)\n--\n\nThe first row of a 1-D or 2-D float32 or float64 array holding NaN or an "
     "infinity (0 for a 1-D array), or None."},
    {"first_repeat", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(first_repeat)), METH_FASTCALL,
     "first_repeat(text, ends, /)\n--\n\nThe position of the first of the texts text[ends[i - 1]:ends[i]] (the "
     "first from 0) of a bytes-like text equal to one before it, or None; ends a 1-D int64 array."},
    {"encode_texts", encode_texts, METH_O,
     "encode_texts(keys, /)\n--\n\nFor a list of str: (their UTF-8 text one after the other, as bytes; the int64 "
     "end of each in it, as the bytes of native int64s). None when an item is not a str or holds a lone surrogate."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orbisk_engine",
    "The engine of orbisk's everyday path: exact batch search on every core, and an approximate graph.",
    -1,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
    // Each class lives for the whole process: the module holds a reference.
    auto add = [&](const char* name, void* object) {
        return object && PyModule_AddObjectRef(module.get(), name, static_cast<PyObject*>(object)) == 0;
    };
    if (!add("FlatIndex", flat_index_type()) || !add("GraphIndex", graph_index_type()) ||
        !add("ResultBuffer", result_type()) || !add("NonFiniteError", nonfinite_error()) ||
        !add("InexactRowError", inexact_row_error())) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

}  // namespace orbisk::engine

PyMODINIT_FUNC PyInit_orbisk_engine(void) { return orbisk::engine::init(); }
