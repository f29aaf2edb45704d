// An owned (strong) reference to a Python object, released when it goes out
// of scope, so that no path (early return, pending error or unwinding
// failure) can leak one.
#pragma once

#include <Python.h>

#include <utility>

namespace mendseqs::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (may be null, as C API calls return on failure).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Gives the reference away, e.g. as an entry point's return value.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace mendseqs::py
