#pragma once

#include <Python.h>

#include <string>

#include "filter/filter.h"

namespace orbisk {

/// The equality filter for a caller's (attribute, value) pair. Sets
/// ValueError "Unsupported type for metadata filter" and returns false when
/// the value is neither text, nor a 64-bit integer, nor a double.
bool make_python_filter(const std::string& attribute, PyObject* value, Filter& out);

}  // namespace orbisk
