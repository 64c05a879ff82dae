#include "py/convert.h"

#include <cstring>
#include <string>

#include "py/error.h"

namespace vopo::py {

namespace {

bool is_numpy_bool(PyObject* object) {
  const char* name = Py_TYPE(object)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

bool numpy_truth(PyObject* object) {
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) {
    std::string message = "object of type '";
    message += Py_TYPE(object)->tp_name;
    message += "' does not define a '__bool__' conversion";
    throw Error::type_error(message);
  }
  int truth = number->nb_bool(object);
  if (truth < 0) throw_pending();
  return truth != 0;
}

uint64_t exact_int_to_u64(PyObject* integer) {
  unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
  return value;
}

}  // namespace

std::string_view type_name(PyObject* object) {
  std::string_view name = Py_TYPE(object)->tp_name;
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

void throw_conversion_error(PyObject* object, std::string_view target) {
  std::string message = "'";
  message += type_name(object);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  throw Error::type_error(message);
}

bool to_bool_strict(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  if (is_numpy_bool(object)) return numpy_truth(object);
  throw_conversion_error(object, "PyBool");
}

uint64_t to_u64(PyObject* object) {
  if (PyLong_Check(object)) return exact_int_to_u64(object);
  Ref index = check(PyNumber_Index(object));
  return exact_int_to_u64(index.get());
}

std::optional<uint64_t> to_optional_u64(PyObject* object) {
  if (object == Py_None) return std::nullopt;
  return to_u64(object);
}

std::string_view utf8_view_slow(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw_pending();
  return {data, static_cast<size_t>(size)};
}

std::string to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_conversion_error(object, "PyString");
  return std::string(utf8_view(object));
}

std::vector<std::string> to_text_list(PyObject* object) {
  if (PyUnicode_Check(object)) throw Error::type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) throw_conversion_error(object, "Sequence");
  std::vector<std::string> texts;
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    PyErr_Clear();
  } else {
    texts.reserve(static_cast<size_t>(size));
  }
  Ref iterator = check(PyObject_GetIter(object));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    texts.push_back(to_text(item.get()));
  }
  if (PyErr_Occurred()) throw_pending();
  return texts;
}

std::string to_byte_string(PyObject* object) {
  if (PyBytes_Check(object)) {
    return std::string(PyBytes_AS_STRING(object), static_cast<size_t>(PyBytes_GET_SIZE(object)));
  }
  if (PyByteArray_Check(object)) {
    return std::string(PyByteArray_AS_STRING(object), static_cast<size_t>(PyByteArray_GET_SIZE(object)));
  }
  if (PyUnicode_Check(object)) throw Error::type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) throw_conversion_error(object, "Sequence");
  std::string bytes;
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    PyErr_Clear();
  } else {
    bytes.reserve(static_cast<size_t>(size));
  }
  Ref iterator = check(PyObject_GetIter(object));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        throw Error::make(PyExc_OverflowError, "out of range integral type conversion attempted");
      }
      throw_pending();
    }
    if (value < 0 || value > 255) {
      throw Error::make(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    bytes.push_back(static_cast<char>(value));
  }
  if (PyErr_Occurred()) throw_pending();
  return bytes;
}

Ref new_text(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref new_bytes(std::string_view bytes) {
  return check(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

Ref new_int(uint64_t value) { return check(PyLong_FromUnsignedLongLong(value)); }

}  // namespace vopo::py
