// Owning and borrowed references to Python objects.
#pragma once

#include <utility>

#include "py/python.h"

namespace vopo::py {

// A strong reference that releases itself. Ownership is explicit at the
// call site: `Ref::steal` adopts a new reference, `Ref::borrow` takes an
// extra one.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = object_;
      object_ = other.release();
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // A new strong reference for APIs that steal one.
  PyObject* new_reference() const noexcept {
    Py_XINCREF(object_);
    return object_;
  }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vopo::py
