// What naming a frame learns about its code object, kept on it: the dotted
// names made for it, and for code without qualified names (3.10) the static
// facts the inference reads on every event.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "py/compat.h"
#include "utils/dotted_name.h"

namespace vopo::utils {

// The parts of a name as a frame's function holds them, borrowed from it.
struct BorrowedParts {
  PyObject* module = nullptr;
  PyObject* qualname = nullptr;
};

class QualnameCache {
 public:
  // The cache on the code object; NULL when none can be attached.
  static QualnameCache* of(PyCodeObject* code);

  DottedNames dotted;

  // What the exact inference would find for `name` (the code's name) in a
  // frame of this code, read natively from what the frame, its caller, the
  // class of `self` and the globals hold now; false when the frame needs
  // the exact inference. Runs none of the program's code; throws py::Error
  // only when memory runs out.
  bool infer(PyFrameObject* frame, PyObject* name, BorrowedParts& parts);

 private:
  // Where a caller's code binds the name, keyed by the objects that lay out
  // its variables (tuples of names), held so that they cannot be reused.
  struct CallerSlot {
    std::array<py::Ref, 3> layout;
    bool optimized = false;
    py::LocalSlot slot;
  };
  // Whether a class's instances are ordinary for static lookup, as of one
  // version tag; tags are never reused, so a freed class cannot match.
  struct ClassVerdict {
    uintptr_t type = 0;
    unsigned int version_tag = 0;
    bool ordinary = false;
  };

  bool caller_binding(PyFrameObject* caller, PyObject* name, PyObject*& bound);
  const CallerSlot& caller_slot(PyCodeObject* caller_code, PyObject* name);
  bool ordinary_instances(PyTypeObject* type);
  bool globals_entry(PyObject* globals, PyObject* name, PyObject*& value);
  bool through_self(PyObject* self, PyObject* name, BorrowedParts& parts);

  bool own_slots_found_ = false;
  py::LocalSlot self_slot_;
  py::LocalSlot cls_slot_;
  py::LocalSlot qualname_slot_;
  std::array<CallerSlot, 2> callers_;
  size_t next_caller_ = 0;
  std::array<ClassVerdict, 2> classes_;
  size_t next_class_ = 0;
  // The globals' entry for the code's name as last read, with the dict and
  // its version then. A dict's version changes with every change and is
  // never given to another dict, so an unchanged version means the dict
  // still holds that very entry.
  struct GlobalsEntry {
    bool known = false;
    uintptr_t dict = 0;
    uint64_t version = 0;
    PyObject* value = nullptr;
  };
  GlobalsEntry globals_;
};

}  // namespace vopo::utils
