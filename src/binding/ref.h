#pragma once
// An owned Python reference: the one place where decrefs happen implicitly.

#include <Python.h>

#include <utility>

namespace orbisk {

class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        // Take the new value before dropping the old: a decref may run any code.
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace orbisk
