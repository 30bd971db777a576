#include "metadata/py_metadata.h"

#include <string_view>
#include <unordered_map>

#include "binding/errors.h"

namespace orbisk {

namespace {

// A failed attempt says only that the value is not of that kind, and its
// error is dropped; but running out of memory, or an interrupt raised from
// a conversion hook, says nothing about the value and must not be taken for
// a verdict on it (a lost allocation could turn an integer into a float).
bool not_of_this_kind() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

std::optional<Metadata> metadata_value(PyObject* o) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size)) {
            return Metadata(std::string(utf8, static_cast<std::size_t>(size)));
        }
        if (!not_of_this_kind()) return std::nullopt;
    }
    const long long i = PyLong_AsLongLong(o);
    if (!(i == -1 && PyErr_Occurred())) return Metadata(static_cast<std::int64_t>(i));
    if (!not_of_this_kind()) return std::nullopt;
    const double d = PyFloat_AsDouble(o);
    if (!(d == -1.0 && PyErr_Occurred())) return Metadata(d);
    not_of_this_kind();
    return std::nullopt;
}

bool convert_metadata(const std::vector<Pair>& pairs, const std::vector<std::string>& schema, MetadataRecord& out) {
    std::unordered_map<std::string_view, PyObject*> by_name;
    by_name.reserve(pairs.size());
    for (const Pair& p : pairs) by_name[p.name] = p.value.get();
    out.clear();
    out.reserve(schema.size());
    for (const std::string& name : schema) {
        auto found = by_name.find(name);
        if (found == by_name.end()) {
            raise_value_error("Missing metadata for attribute '" + name + "'");
            return false;
        }
        // Held across the conversion, whose hooks may run arbitrary code.
        Ref value = Ref::borrow(found->second);
        std::optional<Metadata> v = metadata_value(value.get());
        if (!v) {
            if (PyErr_Occurred()) return false;
            raise_value_error("Unsupported metadata type for attribute '" + name + "'");
            return false;
        }
        out.push_back(std::move(*v));
    }
    return true;
}

}  // namespace orbisk
