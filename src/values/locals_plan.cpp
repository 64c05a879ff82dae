#include "values/locals_plan.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "py/code_extra.h"
#include "py/compat.h"
#include "values/encoder.h"
#include "values/limits.h"
#include "values/options.h"

namespace vopo::values {

namespace {

constexpr size_t kMostKeptEntries = std::max(kFullLimits.items, kLightweightLimits.items);

// A variable's name as UTF-8 and its key bytes under the full and the
// lightweight limits.
struct VariableKey {
  std::string utf8;
  std::array<std::string, 2> packed;
};

// What encoding a code object's locals needs, kept on the code object: the
// keys of its variables, indexed as `py::code_variable_names` gives them,
// and their redaction verdicts under one generation of the options.
class LocalsPlan {
 public:
  // Whether the plan can reproduce the snapshot of the code's frames.
  bool usable(PyCodeObject* code) {
    if (state_ == State::unbuilt) state_ = build(code) ? State::usable : State::unusable;
    return state_ == State::usable;
  }

  void take_verdicts_from(const Options& options) {
    if (verdicts_known_ && verdicts_generation_ == options.generation) return;
    for (size_t i = 0; i < keys_.size(); ++i) secret_[i] = options.redaction.matches(keys_[i].utf8);
    verdicts_generation_ = options.generation;
    verdicts_known_ = true;
  }

  NamedEntry entry(Py_ssize_t index, bool lightweight, PyObject* value) const {
    auto at = static_cast<size_t>(index);
    return {keys_[at].packed[lightweight], secret_[at] != 0, value};
  }

 private:
  enum class State { unbuilt, usable, unusable };

  // Names that are not exact str or come twice are left to the snapshot.
  bool build(PyCodeObject* code) {
    try {
      py::Ref names = py::code_variable_names(code);
      py::Ref seen = py::check(PySet_New(nullptr));
      Py_ssize_t count = PyTuple_GET_SIZE(names.get());
      keys_.reserve(static_cast<size_t>(count));
      for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), i);
        if (!PyUnicode_CheckExact(name)) return false;
        int present = PySet_Contains(seen.get(), name);
        py::check_status(present);
        if (present) return false;
        py::check_status(PySet_Add(seen.get(), name));
        keys_.push_back(key_of(name));
      }
      secret_.assign(keys_.size(), 0);
      return true;
    } catch (py::Error&) {
      return false;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  static VariableKey key_of(PyObject* name) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name, &size);
    if (data == nullptr) py::throw_pending();
    std::string_view utf8(data, static_cast<size_t>(size));
    auto chars = static_cast<size_t>(PyUnicode_GET_LENGTH(name));
    return {std::string(utf8), {encoded_name(utf8, chars, false), encoded_name(utf8, chars, true)}};
  }

  State state_ = State::unbuilt;
  std::vector<VariableKey> keys_;
  std::vector<char> secret_;
  uint64_t verdicts_generation_ = 0;
  bool verdicts_known_ = false;
};

// The frame's bound variables: how many, and the first ones the limits keep,
// each held (one reference) while they are encoded. The entries are made one
// by one as they are found: a frame has few variables and the room is for
// the most the limits keep.
struct BoundLocals {
  size_t count = 0;
  size_t kept = 0;
  union {
    NamedEntry first[kMostKeptEntries];
  };

  BoundLocals() {}
  BoundLocals(const BoundLocals&) = delete;
  BoundLocals& operator=(const BoundLocals&) = delete;
  ~BoundLocals() {
    for (size_t i = 0; i < kept; ++i) Py_DECREF(first[i].value);
  }
};

void gather(PyFrameObject* frame, const LocalsPlan& plan, bool lightweight, BoundLocals& bound) {
  size_t keep = kept_entries(lightweight);
  py::for_each_frame_local(frame, [&](Py_ssize_t index, PyObject*, PyObject* value) {
    if (value == nullptr) return;
    if (bound.kept < keep) {
      Py_INCREF(value);
      std::construct_at(&bound.first[bound.kept++], plan.entry(index, lightweight, value));
    }
    ++bound.count;
  });
}

// Whether the options make the encoding run program code (an opted-in user
// repr), whose effects the snapshot's order of events would have to match.
bool runs_program_code(const Options& options, bool lightweight) {
  return options.user_repr && !lightweight && kFullLimits.user_repr;
}

}  // namespace

int encode_frame_locals(PyFrameObject* frame, bool lightweight, msgpack::Writer& out) noexcept {
  try {
    PyCodeObject* code = py::frame_code(frame);
    if (!(code->co_flags & CO_OPTIMIZED)) return 0;
    OptionsInUse in_use;
    const Options& options = in_use.get();
    if (runs_program_code(options, lightweight)) return 0;
    LocalsPlan* plan = py::CodeExtra<LocalsPlan>::of(code);
    if (plan == nullptr || !plan->usable(code)) return 0;
    plan->take_verdicts_from(options);
    BoundLocals bound;
    gather(frame, *plan, lightweight, bound);
    if (py::frame_has_extra_locals(frame, bound.count)) return 0;
    return encode_named_map(bound.count, bound.first, lightweight, options, out) ? 1 : -1;
  } catch (py::Error&) {
    // The snapshot meets the same failure and reports it.
    return 0;
  } catch (...) {
    PyErr_Clear();
    return 0;
  }
}

}  // namespace vopo::values
