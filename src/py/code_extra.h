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
    if (void* data = code_extra_in_place(code, index)) return static_cast<Data*>(data);
    return attach(code, index);
  }

  // The code object's data if it has any; makes nothing. Reads the slot in
  // place, with no call, so that the event hot path can afford it.
  static Data* peek(PyCodeObject* code) { return static_cast<Data*>(code_extra_in_place(code, index_)); }

 private:
  static constexpr Py_ssize_t kNotRequested = -2;

  static Py_ssize_t slot_index() {
    // Slots are few and cannot be given back: one per kind, per process,
    // asked for once even when the interpreter has none left (-1).
    if (index_ == kNotRequested) index_ = request_code_extra_index(&release);
    return index_;
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

  // Changed only under the GIL; read with no guard on the hot path.
  static inline Py_ssize_t index_ = kNotRequested;
};

}  // namespace vopo::py
