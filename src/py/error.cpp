#include "py/error.h"

#include <string>

namespace vopo::py {

namespace {

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("vopo._vopo.PanicException",
                                     "A broken internal expectation of vopo.",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

}  // namespace

Error Error::fetch() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return Error(Ref::steal(type), Ref::steal(value), Ref::steal(traceback));
}

Error Error::make(PyObject* type, std::string_view message) {
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), message.size()));
  if (!text) return fetch();
  return Error(Ref::borrow(type), std::move(text), Ref());
}

Error Error::panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return fetch();
  return make(type, message);
}

void Error::restore() && {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

Ref Error::into_value() && {
  PyObject* type = type_.release();
  PyObject* value = value_.release();
  PyObject* traceback = traceback_.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
}

bool Error::matches(PyObject* type) const {
  return PyErr_GivenExceptionMatches(type_.get(), type) != 0;
}

bool Error::is_interrupt() const {
  return !matches(PyExc_Exception) && !matches(panic_exception_type());
}

}  // namespace vopo::py
