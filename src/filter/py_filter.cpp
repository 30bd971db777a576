#include "filter/py_filter.h"

#include "binding/errors.h"
#include "metadata/py_metadata.h"

namespace orbisk {

bool make_python_filter(const std::string& attribute, PyObject* value, Filter& out) {
    std::optional<Metadata> v = metadata_value(value);  // as a metadata value converts
    if (!v) {
        if (PyErr_Occurred()) return false;
        raise_value_error("Unsupported type for metadata filter");
        return false;
    }
    out = make_filter(attribute, std::move(*v));
    return true;
}

}  // namespace orbisk
