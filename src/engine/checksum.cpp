// orbisk_engine.crc32: zlib's CRC-32 of a buffer, with the interpreter lock
// released over large ones; the companion checksums its files with it.

#include <Python.h>

#include <cstdint>

#include "binding/buffers.h"
#include "binding/errors.h"
#include "binding/long_calls.h"
#include "common/crc32.h"
#include "engine/checksum.h"

namespace orbisk::engine {

PyObject* checksum(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return engine_guarded([&]() -> PyObject* {
        if (nargs < 1 || nargs > 2) {
            return PyErr_Format(PyExc_TypeError, "crc32() takes a buffer and an optional start value, got %zd arguments",
                                nargs);
        }
        std::uint32_t start = 0;
        if (nargs == 2) {
            const unsigned long value = PyLong_AsUnsignedLongMask(args[1]);
            if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
            start = static_cast<std::uint32_t>(value);
        }
        HeldBuffer data;
        if (!data.take(args[0], PyBUF_SIMPLE)) return nullptr;
        const void* bytes = data.view().buf;
        const auto n = static_cast<std::size_t>(data.view().len);
        std::uint32_t crc = 0;
        // About 4 us a MiB: a large buffer lets other threads run meanwhile.
        if (n >= (std::size_t{1} << 20)) {
            without_lock([&](Released&) { crc = crc32(bytes, n, start); });
        } else {
            crc = crc32(bytes, n, start);
        }
        return PyLong_FromUnsignedLong(crc);
    });
}

}  // namespace orbisk::engine
