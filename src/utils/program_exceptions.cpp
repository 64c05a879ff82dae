#include "utils/program_exceptions.h"

#include <vector>

#include "py/compat.h"
#include "py/names.h"
#include "py/object.h"

namespace vopo::utils {

namespace {

// The code object behind a handler that is a function or a bound method;
// NULL for any other callable.
PyObject* handler_code(PyObject* handler) {
  if (PyMethod_Check(handler)) handler = PyMethod_GET_FUNCTION(handler);
  return PyFunction_Check(handler) ? PyFunction_GET_CODE(handler) : nullptr;
}

std::vector<py::Ref> signal_handler_codes() {
  py::Ref signal = py::import("_signal");
  py::Ref getsignal = py::getattr(signal.get(), py::names().getsignal);
  py::Ref signals = py::call(py::getattr(signal.get(), py::names().valid_signals).get(), {});
  py::Ref iterator = py::check(PyObject_GetIter(signals.get()));
  std::vector<py::Ref> codes;
  while (py::Ref number = py::Ref::steal(PyIter_Next(iterator.get()))) {
    py::Ref handler = py::call(getsignal.get(), {number.get()});
    if (PyObject* code = handler_code(handler.get())) codes.push_back(py::Ref::borrow(code));
  }
  if (PyErr_Occurred()) py::throw_pending();
  return codes;
}

bool runs_code_of(PyObject* traceback, const std::vector<py::Ref>& codes) {
  for (auto* entry = reinterpret_cast<PyTracebackObject*>(traceback); entry != nullptr; entry = entry->tb_next) {
    auto* code = reinterpret_cast<PyObject*>(py::frame_code(entry->tb_frame));
    for (const py::Ref& handler : codes) {
      if (handler.get() == code) return true;
    }
  }
  return false;
}

// Only asked on the failure path, so the handlers are read afresh each time.
bool raised_by_signal_handler(const py::Error& error) {
  if (error.traceback() == nullptr || !PyTraceBack_Check(error.traceback())) return false;
  try {
    return runs_code_of(error.traceback(), signal_handler_codes());
  } catch (py::Error&) {
    return false;
  }
}

}  // namespace

void run_pending_signal_handlers() {
  if (PyErr_CheckSignals() < 0) py::throw_pending();
}

bool belongs_to_program(const py::Error& error) { return error.is_interrupt() || raised_by_signal_handler(error); }

}  // namespace vopo::utils
