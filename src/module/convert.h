#pragma once
// The boundary with the interpreter: binding arguments to parameters, the
// borrow word, and one conversion entry point per native type. Every
// function returning bool sets a Python exception when it returns false.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

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
bool to_double_lists(PyObject* o, std::vector<std::vector<double>>& out);
bool to_texts(PyObject* o, std::vector<std::string>& out);
bool to_pairs(PyObject* o, std::vector<Pair>& out);
bool to_pair_lists(PyObject* o, std::vector<std::vector<Pair>>& out);

/// A new list of floats copied from `values`.
PyObject* float_list(const double* values, std::size_t n);

}  // namespace orbisk
