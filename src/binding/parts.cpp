#include "binding/parts.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "binding/ref.h"

namespace orbisk {

bool PartArg::take(PyObject* parts, const char* name, char format, std::size_t count, std::size_t cols) {
    Ref obj;
    {
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(parts, name, &found) < 0) return false;
        obj = Ref::steal(found);
    }
    if (!obj) {
        PyErr_Format(PyExc_ValueError, "parts lack '%s'", name);
        return false;
    }
    if (!buffer.take(obj.get(), PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = buffer.view();
    const std::optional<Item> item = buffer.item(Prefixes::Little);
    const Item wanted = format == 'd'   ? Item{Item::Float, 8}
                        : format == 'f' ? Item{Item::Float, 4}
                        : format == 'I' ? Item{Item::Unsigned, 4}
                                        : Item{Item::Unsigned, 1};
    const bool shape_ok = cols ? view.ndim == 2 && view.shape[1] == static_cast<Py_ssize_t>(cols) &&
                                     static_cast<std::size_t>(view.shape[0]) * cols == count
                               : view.ndim == 1 && static_cast<std::size_t>(view.shape[0]) == count;
    if (!item || !item->is(wanted.kind, wanted.size) || !shape_ok || !PyBuffer_IsContiguous(&view, 'C') ||
        reinterpret_cast<std::uintptr_t>(view.buf) % wanted.size != 0) {
        PyErr_Format(PyExc_ValueError, "parts['%s'] must be a contiguous aligned array of %zu items of format '%c'",
                     name, count, format);
        return false;
    }
    return true;
}

bool only_parts(PyObject* parts, std::initializer_list<const char*> names) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (Py_ssize_t at = 0; PyDict_Next(parts, &at, &key, &value);) {
        const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (PyUnicode_Check(key) && !text) return false;
        bool known = false;
        for (const char* name : names) known = known || (name && text && std::strcmp(name, text) == 0);
        if (!known) {
            PyErr_Format(PyExc_ValueError, "parts hold %R, which this index does not keep", key);
            return false;
        }
    }
    return true;
}

}  // namespace orbisk
