#include "profiler/failure_report.h"

#include "py/compat.h"
#include "py/convert.h"
#include "py/names.h"
#include "py/object.h"
#include "utils/program_exceptions.h"

namespace vopo::profiler {

namespace {

constexpr const char kTemplate[] =
    "Unexpected exception in the profiler.\n    co_filename: %s\n    co_name: %s\n    event: %s\n    frame locals: %s\n";

PyObject* or_none(PyObject* object) { return object != nullptr ? object : Py_None; }

constexpr const char kLocalsUnavailable[] = "<locals not shown>";

// The host's bounded rendering of the frame's locals, which runs none of the
// program's code; `str()` of the dict would run the program's reprs. The
// host module is looked up now, so a replaced renderer takes effect at once.
py::Ref rendered_locals(PyFrameObject* frame) {
  if (!py::is_frame(reinterpret_cast<PyObject*>(frame))) return py::new_text(kLocalsUnavailable);
  py::Ref locals = py::frame_locals_snapshot(frame);
  py::Ref serialize = py::import("vopo.serialize");
  py::Ref render = py::getattr(serialize.get(), py::names().render_locals);
  py::Ref text = py::call(render.get(), {locals.get()});
  return PyUnicode_Check(text.get()) ? std::move(text) : py::new_text(kLocalsUnavailable);
}

py::Ref rendered_locals_or_placeholder(PyFrameObject* frame) {
  try {
    return rendered_locals(frame);
  } catch (py::Error&) {
    return py::new_text(kLocalsUnavailable);
  }
}

void log_warning(py::Error&& error, PyFrameObject* frame, Event event, PyObject* co_filename,
                 PyObject* co_name) {
  const py::Names& names = py::names();
  py::Ref logging = py::import("logging");
  py::Ref logger_name = py::new_text("vopo");
  py::Ref logger = py::call(py::getattr(logging.get(), names.get_logger).get(), {logger_name.get()});
  py::Ref locals = rendered_locals_or_placeholder(frame);
  py::Ref kwargs = py::check(PyDict_New());
  py::Ref exception = std::move(error).into_value();
  py::check_status(PyDict_SetItem(kwargs.get(), names.exc_info, or_none(exception.get())));
  py::Ref warning = py::getattr(logger.get(), names.warning);
  py::Ref message = py::new_text(kTemplate);
  py::Ref event_text = py::new_text(event_name(event));
  py::Ref args = py::check(PyTuple_Pack(5, message.get(), or_none(co_filename), or_none(co_name),
                                        event_text.get(), locals.get()));
  py::check(PyObject_Call(warning.get(), args.get(), kwargs.get()));
}

}  // namespace

void report_failure(py::Error&& error, PyFrameObject* frame, Event event, PyObject* co_filename,
                    PyObject* co_name) {
  if (utils::belongs_to_program(error)) throw std::move(error);
  try {
    log_warning(std::move(error), frame, event, co_filename, co_name);
  } catch (py::Error& failure) {
    if (utils::belongs_to_program(failure)) throw;
    // The report itself failed: let the interpreter's unraisable hook show
    // it rather than lose it or disturb the program.
    std::move(failure).restore();
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(frame));
  } catch (...) {
    PyErr_Clear();
  }
}

}  // namespace vopo::profiler
