// The error model: a C++ exception that carries a Python exception. It is
// thrown where a C API call fails and caught at every boundary the
// interpreter calls, where it becomes the pending exception again or goes to
// the failure report.
#pragma once

#include <exception>
#include <string_view>

#include "py/ref.h"

namespace vopo::py {

class Error : public std::exception {
 public:
  // Takes the interpreter's pending exception; with none pending, a
  // SystemError says so.
  static Error fetch();
  static Error make(PyObject* type, std::string_view message);
  static Error type_error(std::string_view message) {
    return make(PyExc_TypeError, message);
  }
  // A broken internal expectation or interpreter guarantee.
  static Error panic(std::string_view message);

  const char* what() const noexcept override { return "Python exception"; }

  // Makes this the interpreter's pending exception.
  void restore() &&;
  // The exception instance, normalised, with its traceback attached.
  Ref into_value() &&;
  bool matches(PyObject* type) const;
  // Neither an `Exception` nor the profiler's own PanicException: an
  // interrupt such as KeyboardInterrupt or SystemExit.
  bool is_interrupt() const;
  // The traceback as fetched; may be NULL.
  PyObject* traceback() const { return traceback_.get(); }

 private:
  Error(Ref type, Ref value, Ref traceback)
      : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
  Ref type_, value_, traceback_;
};

[[noreturn]] inline void throw_pending() { throw Error::fetch(); }

// Adopts a new reference from a C API call, throwing when it is NULL.
inline Ref check(PyObject* result) {
  if (result == nullptr) throw_pending();
  return Ref::steal(result);
}

inline void check_status(int status) {
  if (status < 0) throw_pending();
}

// Runs `body`, turning every C++ failure into the pending Python exception.
// Used at the boundaries the interpreter calls into.
template <typename Body>
auto at_python_boundary(Body&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (Error& error) {
    std::move(error).restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& other) {
    Error::panic(other.what()).restore();
  } catch (...) {
    Error::panic("unknown C++ exception").restore();
  }
  return on_error;
}

}  // namespace vopo::py
