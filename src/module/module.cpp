// The module entry point: single-phase initialisation, bound to the first
// interpreter that imports it, classes registered once per process.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/instance.h"
#include "binding/ref.h"
#include "flat/py_flat.h"
#include "hnsw/py_hnsw.h"

namespace orbisk {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orbisk", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
std::atomic<PyObject*> cached_module{nullptr};

// Appends the name to __all__ (made on first use), then sets the attribute.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (!type) return false;
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return false;
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (PyList_Append(all.get(), key.get()) < 0) return false;
    return PyObject_SetAttr(module, key.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, "orbisk does not support sub-interpreters");
        return nullptr;
    }
    if (PyObject* m = cached_module.load(std::memory_order_acquire)) return Py_NewRef(m);

    Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return nullptr;
#endif
    if (!add_class(module.get(), "PyFlat", flat_type())) return nullptr;
    if (!add_class(module.get(), "PyHNSW", hnsw_type())) return nullptr;

    PyObject* winner = nullptr;
    if (cached_module.compare_exchange_strong(winner, module.get(), std::memory_order_acq_rel)) {
        winner = module.release();  // the cache keeps this reference for good
    }
    return Py_NewRef(winner);
}

}  // namespace

}  // namespace orbisk

PyMODINIT_FUNC PyInit_orbisk(void) { return orbisk::init(); }
