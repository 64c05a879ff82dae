// Data of one kind kept on each code object in its own co_extra slot, made
// on first use and deleted with the code object, so it never outlives it.
#pragma once

#include <new>

#include "py/compat.h"

namespace vopo::py {

template <typename Data>
class CodeExtra {
 public:
  // The code object's data, made on first use; NULL when the interpreter
  // has no slot to spare or memory runs out. Never leaves an error set.
  static Data* of(PyCodeObject* code) {
    Py_ssize_t index = slot_index();
    if (index < 0) return nullptr;
    void* data = nullptr;
    if (get_code_extra(code, index, &data) < 0) {
      PyErr_Clear();
      return nullptr;
    }
    if (data != nullptr) return static_cast<Data*>(data);
    return attach(code, index);
  }

  // The code object's data if it has any; makes nothing.
  static Data* peek(PyCodeObject* code) {
    Py_ssize_t index = slot_index();
    void* data = nullptr;
    if (index < 0 || get_code_extra(code, index, &data) < 0) return nullptr;
    return static_cast<Data*>(data);
  }

 private:
  static Py_ssize_t slot_index() {
    // Slots are few and cannot be given back: one per kind, per process.
    static const Py_ssize_t index = request_code_extra_index(&release);
    return index;
  }

  static Data* attach(PyCodeObject* code, Py_ssize_t index) {
    auto* made = new (std::nothrow) Data();
    if (made == nullptr) return nullptr;
    if (set_code_extra(code, index, made) < 0) {
      PyErr_Clear();
      delete made;
      return nullptr;
    }
    return made;
  }

  static void release(void* data) { delete static_cast<Data*>(data); }
};

}  // namespace vopo::py
