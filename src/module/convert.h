#pragma once
// The boundary with the interpreter: binding arguments to parameters, the
// borrow word, and one conversion entry point per native type. Every
// function returning bool sets a Python exception when it returns false.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/interrupt.h"
#include "common/memory.h"
#include "common/rows.h"
#include "module/ref.h"

namespace orbisk {

/// A callable's parameter list: every parameter by position or keyword, the
/// first `required` of them required.
struct Signature {
    const char* call_name;  ///< "PyFlat.search()", used in binding messages
    const char* const* names;
    int count;
    int required;
};

/// Binds a fast call's arguments into `out` (borrowed; null when absent).
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out);
/// Binds a constructor call's tuple and dict into `out`.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

/// True when an optional argument was given and is not None.
inline bool given(PyObject* arg) { return arg != nullptr && arg != Py_None; }

/// One word of borrow state per instance: 0 free, n readers, all ones a writer.
using BorrowWord = std::atomic<std::uintptr_t>;

/// Holds a shared or exclusive borrow for one call; refusal sets RuntimeError.
class Borrow {
  public:
    Borrow(BorrowWord& word, bool exclusive);
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    explicit operator bool() const { return held_; }

  private:
    BorrowWord& word_;
    bool exclusive_;
    bool held_ = false;
};

/// Checks that `self` is an instance of `type` (TypeError naming `class_name` otherwise).
bool check_self(PyObject* self, PyTypeObject* type, const char* class_name);

/// Applies the parameter-naming rule to a failed conversion: a pending
/// exception of exactly TypeError is replaced by one whose text starts with
/// "argument 'NAME': ". Returns `ok` unchanged.
bool named(const char* param, bool ok);

struct Pair {
    std::string name;
    Ref value;
};

bool to_text(PyObject* o, std::string& out);
bool to_u32(PyObject* o, std::uint32_t& out);
bool to_double(PyObject* o, double& out);
bool to_pair(PyObject* o, Pair& out);

bool to_doubles(PyObject* o, std::vector<double>& out);
bool to_double_lists(PyObject* o, Rows& out);
bool to_texts(PyObject* o, std::vector<std::string>& out);
bool to_pairs(PyObject* o, std::vector<Pair>& out);
bool to_pair_lists(PyObject* o, std::vector<std::vector<Pair>>& out);

/// A C-contiguous buffer of `ndim` dimensions and a known numeric element
/// format, from an object whose items read the same as its elements (bytes,
/// bytearray, memoryview, array.array, numpy arrays; not their subclasses),
/// taken only where the elements read give exactly what iterating the object
/// gives. False, with no exception, for anything else. Released on scope exit.
class Buffer {
  public:
    Buffer(PyObject* o, int ndim);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    explicit operator bool() const { return ok_; }
    std::size_t rows() const { return static_cast<std::size_t>(view_.shape[0]); }
    std::size_t columns() const { return static_cast<std::size_t>(view_.shape[1]); }
    /// Converts elements [first, first + n) into out.
    void read(std::size_t first, std::size_t n, double* out) const;
    /// The elements in place when they are aligned native doubles, else null.
    const double* doubles() const;

  private:
    Py_buffer view_{};
    char letter_ = 0;  ///< the element's format letter
    bool held_ = false;
    bool ok_ = false;
};

/// Asks the interpreter between the steps of a long call whether a signal
/// handler raised (KeyboardInterrupt, for Ctrl-C): its exception then ends
/// the call.
inline Interrupt pending_signals() {
    return Interrupt([](void*) { return PyErr_CheckSignals() < 0; }, nullptr);
}

/// Releases the heap's free pages when it goes out of scope, if a batch of
/// at least 1 MiB was handled; declared first in a method, so that it runs
/// after the method's own buffers are gone.
class ReleaseAfterBatch {
  public:
    ReleaseAfterBatch() = default;
    ReleaseAfterBatch(const ReleaseAfterBatch&) = delete;
    ReleaseAfterBatch& operator=(const ReleaseAfterBatch&) = delete;
    ~ReleaseAfterBatch() {
        if (bytes_ >= (std::size_t{1} << 20)) release_free_memory();
    }
    void handled(std::size_t bytes) { bytes_ += bytes; }

  private:
    std::size_t bytes_ = 0;
};

/// A new list of floats copied from `values`.
PyObject* float_list(const double* values, std::size_t n);

}  // namespace orbisk
