#pragma once
// The arrays an index is restored from (what parts() gave, perhaps read
// back from a mapped file), each taken by name from a dict and checked.

#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "binding/buffers.h"

namespace orbisk {

/// One array of a restore: a C-contiguous buffer of `count` items of
/// `format` ('d', 'f', 'I' or 'B'), of shape (count / cols, cols) when cols
/// is given, aligned for its items.
struct PartArg {
    HeldBuffer buffer;

    /// parts[name] as above; false with ValueError when it is missing or
    /// not such an array.
    bool take(PyObject* parts, const char* name, char format, std::size_t count, std::size_t cols = 0);

    template <class T>
    const T* data() const {
        return static_cast<const T*>(buffer.view().buf);
    }
};

/// False with ValueError naming the first key of the dict `parts` that is
/// not one of `names` (null names are skipped: parts a restore may lack).
bool only_parts(PyObject* parts, std::initializer_list<const char*> names);

}  // namespace orbisk
