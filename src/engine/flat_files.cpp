// FlatIndex's rows and parts as arrays, and an index restored from them:
// what the companion's files keep, read in place when they are mapped.

#include <cstdint>
#include <memory>

#include "binding/buffers.h"
#include "binding/errors.h"
#include "binding/long_calls.h"
#include "binding/matrix.h"
#include "binding/parts.h"
#include "binding/ref.h"
#include "binding/results.h"
#include "engine/flat_object.h"
#include "flat/batch.h"

namespace orbisk::engine {

namespace {

/// The two arrays a restored index reads in place, let go where the index
/// lets go of them: when it dies, with the interpreter lock held, or when an
/// add moves its rows or codes into memory of their own, on the adding
/// thread with the lock released. The buffers are let go under the lock.
struct HeldParts {
    HeldBuffer rows, codes;
    HeldParts() = default;
    HeldParts(const HeldParts&) = delete;
    HeldParts& operator=(const HeldParts&) = delete;
    ~HeldParts() {
        const PyGILState_STATE state = PyGILState_Ensure();
        rows.release();
        codes.release();
        PyGILState_Release(state);
    }
};

/// The item format of rows stored as `storage`.
char rows_format(Storage storage) { return storage == Storage::Float32 ? 'f' : 'd'; }

/// The storage the rows of `parts` were kept as: float32 for float32
/// items, else float64 (and Part::take says what is wrong with them).
bool storage_of_rows(PyObject* parts, Storage& storage) {
    storage = Storage::Float64;
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(parts, "rows", &found) < 0) return false;
    const Ref rows = Ref::steal(found);
    if (!rows || !PyObject_CheckBuffer(rows.get())) return true;
    HeldBuffer held;
    if (!held.take(rows.get(), PyBUF_RECORDS_RO)) return false;
    const std::optional<Item> item = held.item(Prefixes::Little);
    if (item && item->is(Item::Float, sizeof(float))) storage = Storage::Float32;
    return true;
}

}  // namespace

PyObject* flat_rows(PyObject* self, void*) {
    return read_flat(self, "FlatIndex.rows", [](const Flat& flat) {
        const RowStore& rows = flat.row_store();
        return shared_matrix(rows_format(flat.storage()), flat.size(), flat.dim(), rows.size() ? rows.data() : nullptr,
                             rows.block())
            .release();
    });
}

PyObject* flat_parts(PyObject* self, PyObject*) {
    return read_flat(self, "FlatIndex.parts", [](const Flat& flat) -> PyObject* {
        if (flat.removed()) {
            PyErr_SetString(PyExc_ValueError, "FlatIndex.parts: the index holds removed rows; compact() it first");
            return nullptr;
        }
        const std::size_t n = flat.size();
        const FlatParts p = flat.parts();
        Ref parts = Ref::steal(PyDict_New());
        if (!parts) return nullptr;
        auto put = [&](const char* name, const Ref& value) {
            return value && PyDict_SetItemString(parts.get(), name, value.get()) == 0;
        };
        if (!put("rows", shared_matrix(rows_format(p.storage), n, flat.dim(), n ? p.rows : nullptr,
                                       flat.row_store().block()))) {
            return nullptr;
        }
        if (flat.coding() &&
            !(put("code_blocks", copied_vector('B', flat.code_block_bytes(n), p.code_blocks)) &&
              put("code_open", copied_vector('B', flat.code_open_bytes(n), p.code_open)) &&
              put("scales", copied_vector('f', n, p.scales)) && put("rhos", copied_vector('f', n, p.rhos)) &&
              put("extents", copied_vector('d', n, p.extents)))) {
            return nullptr;
        }
        if (flat.metric().keeps_norms() && !put("norms", copied_vector('d', n, p.norms))) return nullptr;
        return parts.release();
    });
}

PyObject* flat_restore(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return engine_guarded([&]() -> PyObject* {
        static const char* keywords[] = {"dim", "metric", "count", "parts", "verify", "finite", nullptr};
        Py_ssize_t dim = 0, count = 0;
        const char* metric = nullptr;
        PyObject* parts = nullptr;
        int verify = 1, finite = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nsnO!|$pp:restore", const_cast<char**>(keywords), &dim, &metric,
                                         &count, &PyDict_Type, &parts, &verify, &finite)) {
            return nullptr;
        }
        if (count < 0) return PyErr_Format(PyExc_ValueError, "count must be at least 0, got %zd", count);
        Storage storage = Storage::Float64;
        if (!storage_of_rows(parts, storage)) return nullptr;
        // A new index: no other thread has it, so no gate to pass.
        const Ref call = Ref::steal(Py_BuildValue("(ns)", dim, metric));
        const Ref options = call ? Ref::steal(Py_BuildValue("{ss}", "storage", storage_name(storage).data())) : Ref();
        Ref made = options ? Ref::steal(PyObject_Call(cls, call.get(), options.get())) : Ref();
        if (!made) return nullptr;
        Flat& flat = *flat_object(made.get()).flat;
        const auto n = static_cast<std::size_t>(count);
        const bool codes = flat.coding(), keeps_norms = flat.metric().keeps_norms();
        const char* code_part = codes ? "code_blocks" : nullptr;
        if (!only_parts(parts,
                        {"rows", code_part, codes ? "code_open" : nullptr, codes ? "scales" : nullptr,
                         codes ? "rhos" : nullptr, codes ? "extents" : nullptr, keeps_norms ? "norms" : nullptr})) {
            return nullptr;
        }
        if (n == 0) return made.release();
        PartArg rows, blocks, open, scales, rhos, extents, norms;
        const bool ok = rows.take(parts, "rows", rows_format(storage), n * flat.dim(), flat.dim()) &&
                        (!codes || (blocks.take(parts, "code_blocks", 'B', flat.code_block_bytes(n)) &&
                                    open.take(parts, "code_open", 'B', flat.code_open_bytes(n)) &&
                                    scales.take(parts, "scales", 'f', n) && rhos.take(parts, "rhos", 'f', n) &&
                                    extents.take(parts, "extents", 'd', n))) &&
                        (!keeps_norms || norms.take(parts, "norms", 'd', n));
        if (!ok) return nullptr;
        const FlatParts p{rows.data<void>(),
                          codes ? blocks.data<std::uint8_t>() : nullptr,
                          codes ? open.data<std::uint8_t>() : nullptr,
                          codes ? scales.data<float>() : nullptr,
                          codes ? rhos.data<float>() : nullptr,
                          codes ? extents.data<double>() : nullptr,
                          keeps_norms ? norms.data<double>() : nullptr,
                          storage};
        auto held = std::make_shared<HeldParts>();
        bool matched = false;
        std::size_t nonfinite = n;
        try {
            // The check computes every row's code again: without the lock.
            without_lock([&](Released& released) {
                matched = flat.restore(n, p, held, verify != 0, default_threads(1, n * flat.dim() * sizeof(double)),
                                       released.interrupt(), verify && finite ? &nonfinite : nullptr);
            });
        } catch (const InternalFailure&) {
            PyErr_SetString(PyExc_ValueError, "count is beyond what an index holds");
            return nullptr;
        }
        if (nonfinite < n) return raise_row_error(nonfinite_error(), nonfinite, "rows", "holds NaN or infinity");
        if (!matched) {
            PyErr_SetString(PyExc_ValueError, "the stored codes do not match the rows");
            return nullptr;
        }
        // The index reads the two big arrays in place from now on.
        held->rows = std::move(rows.buffer);
        held->codes = std::move(blocks.buffer);
        return made.release();
    });
}

}  // namespace orbisk::engine
