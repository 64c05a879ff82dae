// A cache of what the file name alone decides about recording, per file name
// object, so the fragment searches run once per file rather than on every
// event. Only the generated-attrs caller walk depends on the frame.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "py/python.h"

namespace vopo::filters {

struct FilenameVerdict {
  bool included;          // an include fragment occurs
  bool ignored_by_name;   // a built-in name rule or an ignore fragment
  bool generated_prefix;  // the name itself marks generated attrs code
};

// Direct-mapped on the file name object's address. Each slot holds a strong
// reference to its name, so an address is never mistaken for a freed and
// reused one. Used only under the GIL, with no call into Python while a slot
// changes.
class FilenameVerdicts {
 public:
  FilenameVerdicts() = default;
  FilenameVerdicts(FilenameVerdicts&&) noexcept = default;
  FilenameVerdicts& operator=(FilenameVerdicts&&) noexcept = default;
  ~FilenameVerdicts();

  template <typename Decide>
  FilenameVerdict lookup(PyObject* filename, Decide&& decide) {
    if (!slots_) slots_ = std::make_unique<Slots>();
    Slot& slot = (*slots_)[(reinterpret_cast<uintptr_t>(filename) >> 4) % kSlots];
    if (slot.filename != filename) {
      FilenameVerdict verdict = decide();
      Py_INCREF(filename);
      Py_XDECREF(slot.filename);
      slot = {filename, verdict};
    }
    return slot.verdict;
  }

 private:
  static constexpr size_t kSlots = 512;
  struct Slot {
    PyObject* filename = nullptr;
    FilenameVerdict verdict{};
  };
  using Slots = std::array<Slot, kSlots>;
  std::unique_ptr<Slots> slots_;
};

}  // namespace vopo::filters
