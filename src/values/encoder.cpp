#include "values/encoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <datetime.h>
#include <new>
#include <optional>
#include <string>

#include "py/compat.h"
#include "py/names.h"
#include "values/limits.h"
#include "values/options.h"
#include "values/text.h"
#include "values/type_facts.h"

namespace vopo::values {

namespace {

enum Ext : int8_t {
  kBigInt = 1,
  kTuple = 2,
  kSet = 3,
  kFrozenSet = 4,
  kSubclass = 5,
  kStandard = 6,
  kEnumMember = 7,
  kException = 8,
  kReference = 9,
  kObject = 10,
  kCycle = 11,
  kMore = 12,
  kElided = 13,
  kUserRepr = 14,
  kRedacted = 15,
  kCutStr = 16,
  kCutBytes = 17,
};

// The encoding cannot go on; the value is written as the fallback instead.
struct Failed {};
// A BaseException that is not an Exception came out of a call into Python
// code; it stays pending and goes to the caller.
struct Propagate {};

// After a failed call into Python code: Exceptions are dropped,
// KeyboardInterrupt and the like go on to the caller.
void drop_or_propagate() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw Propagate{};
  PyErr_Clear();
}

size_t header_size(size_t count) { return count <= 15 ? 1 : count <= 0xffff ? 3 : 5; }

// A reference's name: "module.qualname", or the qualified name alone when
// the module is not a str.
std::string qualified(PyObject* module, const std::string& qualname) {
  if (module == nullptr || !PyUnicode_Check(module)) return qualname;
  return utf8_of(module) + "." + qualname;
}

std::string type_qualname(PyTypeObject* type) {
  if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
    return utf8_of(reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname);
  }
  std::string_view full = type->tp_name;
  size_t dot = full.rfind('.');
  return std::string(dot == std::string_view::npos ? full : full.substr(dot + 1));
}

// The qualified name of a builtin function or method, as its __qualname__
// gives it, with the type's qualified name read from the type itself.
std::string builtin_name(PyObject* builtin) {
  auto* function = reinterpret_cast<PyCFunctionObject*>(builtin);
  std::string name = function->m_ml->ml_name;
  PyObject* self = function->m_self;
  if (self != nullptr && !PyModule_Check(self)) {
    PyTypeObject* owner = PyType_Check(self) ? reinterpret_cast<PyTypeObject*>(self) : Py_TYPE(self);
    name = type_qualname(owner) + "." + name;
  }
  return qualified(function->m_module, name);
}

std::string function_name(PyObject* function) {
  auto* object = reinterpret_cast<PyFunctionObject*>(function);
  return qualified(object->func_module, utf8_of(object->func_qualname));
}

bool is_plain_slice_part(PyObject* part) { return part == Py_None || PyLong_CheckExact(part); }

// Appends bytes of a short key with fixed-size moves, cheaper than a call
// of memcpy for a size known only at run time.
void write_short(std::string_view bytes, msgpack::Writer& out) {
  size_t size = bytes.size();
  if (size > 16) return out.raw(bytes);
  char* to = out.extend(size);
  const char* from = bytes.data();
  auto copy_twice = [to, from, size](auto word) {
    // Two overlapping words cover any size from one word to two.
    std::memcpy(to, from, sizeof word);
    std::memcpy(to + size - sizeof word, from + size - sizeof word, sizeof word);
  };
  if (size >= 8) {
    copy_twice(uint64_t{});
  } else if (size >= 4) {
    copy_twice(uint32_t{});
  } else if (size >= 2) {
    copy_twice(uint16_t{});
  } else if (size == 1) {
    to[0] = from[0];
  }
}

// The first `count` characters of a ready str.
void write_text(PyObject* text, size_t count, msgpack::Writer& out) {
  auto chars = static_cast<Py_ssize_t>(count);
  size_t size = utf8_size(text, chars);
  out.str_header(size);
  write_utf8(text, chars, out.extend(size));
}

// Writes the common scalars (an exact int of one digit, an exact str kept
// whole, None, a bool, an exact float) with the least dispatch; false, with
// nothing written, for any other value. Inlined into the loops that call it
// for every item: a call costs as much as the writing.
[[gnu::always_inline]] inline bool scalar(PyObject* value, const Limits& limits, msgpack::Writer& out) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyLong_Type) {
    long long small = 0;
    if (!py::small_int_value(value, &small)) return false;
    out.sint(small);
    return true;
  }
  if (type == &PyUnicode_Type) {
    if (!py::unicode_ready(value)) {
      PyErr_Clear();
      return false;
    }
    auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(value));
    if (length > limits.chars) return false;
    write_text(value, length, out);
    return true;
  }
  if (value == Py_None) {
    out.nil();
  } else if (type == &PyBool_Type) {
    out.boolean(value == Py_True);
  } else if (type == &PyFloat_Type) {
    out.float64(PyFloat_AS_DOUBLE(value));
  } else {
    return false;
  }
  return true;
}

class Encoder {
 public:
  Encoder(msgpack::Writer& out, const Limits& limits, const Options& options)
      : out_(out), limits_(limits), options_(options), budget_(limits.budget) {}

  // A map of str keys given without a dict, written as `dict` writes a dict
  // of them at the top.
  void named_map(size_t size, const NamedEntry* first) {
    // The map's place on the path, where a dict would be: no value is it.
    path_[path_size_++] = nullptr;
    size_t keep = take(size);
    bool cut = keep < size;
    Header header = begin_map(keep + cut);
    for (size_t i = 0; i < keep; ++i) {
      write_short(first[i].packed_key, out_);
      if (first[i].secret) {
        redacted();
      } else if (!scalar(first[i].value, limits_, out_)) {
        value(first[i].value, 1);
      }
    }
    if (cut) {
      more(size - keep);
      out_.nil();
    }
    end_container(header, keep + cut);
    leave();
  }

  // A str already held as UTF-8 of `chars` characters, cut like a str value.
  void name_text(std::string_view utf8, size_t chars) {
    if (chars <= limits_.chars) return out_.str(utf8);
    size_t start = begin_ext();
    out_.array_header(2);
    out_.str(utf8.substr(0, utf8_prefix_size(utf8, limits_.chars)));
    out_.uint(chars - limits_.chars);
    end_ext(start, kCutStr);
  }

  void value(PyObject* value, int depth) {
    if (scalar(value, limits_, out_)) return;
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return text(value, limits_.chars);
    if (type == &PyLong_Type) return integer(value);
    if (type == &PyDict_Type) return dict(value, depth);
    if (type == &PyList_Type) return list(value, depth);
    if (type == &PyTuple_Type) return tuple(value, depth, kTuple);
    if (type == &PyBytes_Type) return bytes(value);
    if (type == &PySet_Type) return set(value, depth, kSet);
    if (type == &PyFrozenSet_Type) return set(value, depth, kFrozenSet);
    other(value, depth);
  }

 private:
  // Containers and headers.

  // Room for the header is left in front of the data, in the form most
  // sizes take; the data moves only when it takes another form.
  static constexpr size_t kExt8Header = 3;
  static bool takes_ext8(size_t size) {
    return size <= 0xff && size != 1 && size != 2 && size != 4 && size != 8 && size != 16;
  }
  size_t begin_ext() {
    size_t start = out_.size();
    out_.extend(kExt8Header);
    return start;
  }
  void end_ext(size_t start, Ext code) {
    size_t size = out_.size() - start - kExt8Header;
    if (takes_ext8(size)) {
      char* header = out_.at(start);
      header[0] = '\xc7';
      header[1] = static_cast<char>(size);
      header[2] = static_cast<char>(code);
      return;
    }
    out_.erase(start, kExt8Header);
    size_t header = out_.size();
    out_.ext_header(code, header - start);
    out_.move_tail(header, start);
  }

  struct Header {
    size_t at;
    size_t count;
    bool map;
  };
  Header begin_array(size_t count) {
    out_.array_header(count);
    return {out_.size() - header_size(count), count, false};
  }
  Header begin_map(size_t count) {
    out_.map_header(count);
    return {out_.size() - header_size(count), count, true};
  }
  // A container that changed while it was read (a finalizer, a user repr)
  // gets the header of what was written.
  void end_container(const Header& header, size_t written) {
    if (written == header.count) return;
    out_.erase(header.at, header_size(header.count));
    size_t tail = out_.size();
    if (header.map) {
      out_.map_header(written);
    } else {
      out_.array_header(written);
    }
    out_.move_tail(tail, header.at);
  }

  // How many of `size` items to keep, taken from the value's budget.
  size_t take(size_t size) {
    size_t keep = std::min({size, limits_.items, budget_});
    budget_ -= keep;
    return keep;
  }

  // Whether to go into a container; when not, it was written as a cycle or
  // as elided.
  bool enter(PyObject* container, std::optional<size_t> size, int depth) {
    for (size_t i = 0; i < path_size_; ++i) {
      if (path_[i] == container) {
        size_t start = begin_ext();
        out_.array_header(1);
        out_.raw(facts_of(container)->packed_name);
        end_ext(start, kCycle);
        return false;
      }
    }
    if (depth >= limits_.depth || path_size_ == path_.size()) {
      size_t start = begin_ext();
      out_.array_header(2);
      out_.raw(facts_of(container)->packed_name);
      out_.optional_uint(size);
      end_ext(start, kElided);
      return false;
    }
    path_[path_size_++] = container;
    return true;
  }
  void leave() { --path_size_; }

  std::shared_ptr<const TypeFacts> facts_of(PyObject* value) { return type_facts(Py_TYPE(value)); }

  void more(size_t omitted) {
    size_t start = begin_ext();
    out_.uint(omitted);
    end_ext(start, kMore);
  }
  void redacted() {
    static constexpr char kRedactedBytes[] = {'\xd4', kRedacted, '\xc0'};
    out_.raw({kRedactedBytes, sizeof kRedactedBytes});
  }

  // Plain values.

  void text(PyObject* text, size_t limit) {
    if (!py::unicode_ready(text)) throw Failed{};
    auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    if (length <= limit) return write_text(text, length, out_);
    size_t start = begin_ext();
    out_.array_header(2);
    write_text(text, limit, out_);
    out_.uint(length - limit);
    end_ext(start, kCutStr);
  }

  void bytes(PyObject* value) {
    std::string_view data(PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value)));
    if (data.size() <= limits_.bytes) return out_.bin(data);
    size_t start = begin_ext();
    out_.array_header(2);
    out_.bin(data.substr(0, limits_.bytes));
    out_.uint(data.size() - limits_.bytes);
    end_ext(start, kCutBytes);
  }

  void integer(PyObject* value) {
    long long small = 0;
    if (py::small_int_value(value, &small)) return out_.sint(small);
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
      if (number == -1 && PyErr_Occurred()) throw Failed{};
      return out_.sint(number);
    }
    if (overflow > 0) {
      unsigned long long positive = PyLong_AsUnsignedLongLong(value);
      if (positive != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) return out_.uint(positive);
      PyErr_Clear();
    }
    big_int(value);
  }

  // Two's complement, big-endian, in the fewest bytes.
  void big_int(PyObject* value) {
    size_t bits = _PyLong_NumBits(value);
    if (bits == static_cast<size_t>(-1)) throw Failed{};
    size_t size = bits / 8 + 1;
    size_t start = begin_ext();
    auto* data = reinterpret_cast<unsigned char*>(out_.extend(size));
    if (!py::int_to_big_endian(value, data, size)) throw Failed{};
    size_t redundant = 0;
    while (redundant + 1 < size && ((data[redundant] == 0x00 && data[redundant + 1] < 0x80) ||
                                    (data[redundant] == 0xff && data[redundant + 1] >= 0x80))) {
      ++redundant;
    }
    out_.erase(start + kExt8Header, redundant);
    end_ext(start, kBigInt);
  }

  // Builtin containers, read through their own structures.

  template <typename NextItem>
  void array_items(size_t size, int depth, NextItem next_item) {
    size_t keep = take(size);
    bool cut = keep < size;
    Header header = begin_array(keep + cut);
    size_t written = 0;
    while (written < keep) {
      PyObject* item = next_item(written);
      if (item == nullptr) break;
      if (!scalar(item, limits_, out_)) {
        // Held while program code (a finalizer, a user repr) could drop it.
        py::Ref held = py::Ref::borrow(item);
        value(item, depth + 1);
      }
      ++written;
    }
    if (cut) more(size - keep);
    end_container(header, written + cut);
  }

  void list_items(PyObject* list, int depth) {
    array_items(static_cast<size_t>(PyList_GET_SIZE(list)), depth, [list](size_t i) {
      auto index = static_cast<Py_ssize_t>(i);
      return index < PyList_GET_SIZE(list) ? PyList_GET_ITEM(list, index) : nullptr;
    });
  }
  void tuple_items(PyObject* tuple, int depth) {
    array_items(static_cast<size_t>(PyTuple_GET_SIZE(tuple)), depth,
                [tuple](size_t i) { return PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(i)); });
  }
  // Through set's own iterator, whatever a subclass defines.
  void set_items(PyObject* set, int depth) {
    py::Ref iterator = py::Ref::steal(PySet_Type.tp_iter(set));
    if (!iterator) throw Failed{};
    // The iterator gives new references; the last one is held until the next.
    py::Ref item;
    array_items(static_cast<size_t>(PySet_GET_SIZE(set)), depth, [&iterator, &item](size_t) {
      item = py::Ref::steal(Py_TYPE(iterator.get())->tp_iternext(iterator.get()));
      if (!item) PyErr_Clear();
      return item.get();
    });
  }
  void dict_entries(PyObject* dict, int depth) {
    auto size = static_cast<size_t>(PyDict_GET_SIZE(dict));
    size_t keep = take(size);
    bool cut = keep < size;
    Header header = begin_map(keep + cut);
    size_t written = 0;
    Py_ssize_t position = 0;
    PyObject *key, *item;
    while (written < keep && PyDict_Next(dict, &position, &key, &item)) {
      py::Ref held_key = py::Ref::borrow(key);
      py::Ref held_item = py::Ref::borrow(item);
      value(key, depth + 1);
      entry_value(key, item, depth);
      ++written;
    }
    if (cut) {
      more(size - keep);
      out_.nil();
    }
    end_container(header, written + cut);
  }
  void entry_value(PyObject* key, PyObject* item, int depth) {
    if (PyUnicode_CheckExact(key) && options_.redaction.matches(key)) return redacted();
    value(item, depth + 1);
  }

  void list(PyObject* list, int depth) {
    if (!enter(list, PyList_GET_SIZE(list), depth)) return;
    list_items(list, depth);
    leave();
  }
  void dict(PyObject* dict, int depth) {
    if (!enter(dict, PyDict_GET_SIZE(dict), depth)) return;
    dict_entries(dict, depth);
    leave();
  }
  void tuple(PyObject* tuple, int depth, Ext code) {
    if (!enter(tuple, PyTuple_GET_SIZE(tuple), depth)) return;
    size_t start = begin_ext();
    tuple_items(tuple, depth);
    end_ext(start, code);
    leave();
  }
  void set(PyObject* set, int depth, Ext code) {
    if (!enter(set, PySet_GET_SIZE(set), depth)) return;
    size_t start = begin_ext();
    set_items(set, depth);
    end_ext(start, code);
    leave();
  }

  // Every other kind.

  void other(PyObject* value, int depth) {
    std::shared_ptr<const TypeFacts> facts = facts_of(value);
    by_kind(value, *facts, facts->kind, depth);
  }
  void by_kind(PyObject* value, const TypeFacts& facts, Kind kind, int depth) {
    switch (kind) {
      case Kind::class_ref:
        return reference("class", type_name(reinterpret_cast<PyTypeObject*>(value)));
      case Kind::module_ref: return module_reference(value);
      case Kind::function_ref: return reference("function", function_name(value));
      case Kind::builtin_ref: return reference("builtin", builtin_name(value));
      case Kind::method_ref: return method_reference(value);
      case Kind::exception: return exception(value, facts, depth);
      case Kind::enum_member: return enum_member(value, facts, depth);
      case Kind::standard: return standard(value, facts, depth);
      case Kind::standard_datetime:
      case Kind::standard_time: return datetime_or_time(value, facts, depth);
      case Kind::standard_slice: return slice(value, facts, depth);
      case Kind::object: return object_or_user_repr(value, facts, depth);
      default: return builtin_subclass(value, facts, kind, depth);
    }
  }

  void reference(std::string_view what, const std::string& name) {
    size_t start = begin_ext();
    out_.array_header(2);
    out_.str(what);
    out_.str(name);
    end_ext(start, kReference);
  }
  void module_reference(PyObject* module) {
    PyObject* name = PyDict_GetItemWithError(PyModule_GetDict(module), py::names().dunder_name);
    if (name == nullptr || !PyUnicode_CheckExact(name)) {
      PyErr_Clear();
      return reference("module", "?");
    }
    reference("module", utf8_of(name));
  }
  void method_reference(PyObject* method) {
    PyObject* function = PyMethod_GET_FUNCTION(method);
    if (PyFunction_Check(function)) return reference("method", function_name(function));
    reference("method", type_name(Py_TYPE(function)));
  }

  void exception(PyObject* error, const TypeFacts& facts, int depth) {
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(error)->args;
    bool has_args = args != nullptr && PyTuple_Check(args);
    if (!enter(error, has_args ? PyTuple_GET_SIZE(args) : 0, depth)) return;
    size_t start = begin_ext();
    out_.array_header(2);
    out_.raw(facts.packed_name);
    if (has_args) {
      py::Ref held = py::Ref::borrow(args);
      tuple_items(args, depth);
    } else {
      out_.array_header(0);
    }
    end_ext(start, kException);
    leave();
  }

  // A member without a str name (a composite flag) is encoded like a
  // value of a class that is no enum.
  void enum_member(PyObject* member, const TypeFacts& facts, int depth) {
    py::Ref name = instance_attribute(member, facts, py::names().enum_name);
    if (!name || !PyUnicode_CheckExact(name.get())) return by_kind(member, facts, facts.kind_without_enum, depth);
    size_t start = begin_ext();
    out_.array_header(2);
    out_.raw(facts.packed_name);
    out_.str(utf8_of(name.get()));
    end_ext(start, kEnumMember);
  }

  // The standard library's own repr of a value of one of its exact types.
  void standard(PyObject* value, const TypeFacts& facts, int depth) {
    py::Ref repr = py::Ref::steal(PyObject_Repr(value));
    if (!repr) {
      drop_or_propagate();
      return object(value, facts, depth);
    }
    size_t start = begin_ext();
    out_.array_header(2);
    out_.raw(facts.packed_name);
    text(repr.get(), limits_.chars);
    end_ext(start, kStandard);
  }
  // Only a tzinfo of the standard timezone type keeps the repr free of
  // program code; other values are shown like any object.
  void datetime_or_time(PyObject* value, const TypeFacts& facts, int depth) {
    PyObject* tzinfo = facts.kind == Kind::standard_datetime ? PyDateTime_DATE_GET_TZINFO(value)
                                                              : PyDateTime_TIME_GET_TZINFO(value);
    if (tzinfo == Py_None || Py_TYPE(tzinfo) == timezone_type()) return standard(value, facts, depth);
    object_or_user_repr(value, facts, depth);
  }
  // A slice's repr shows its fields' reprs, so only plain fields keep it safe.
  void slice(PyObject* value, const TypeFacts& facts, int depth) {
    auto* slice = reinterpret_cast<PySliceObject*>(value);
    if (is_plain_slice_part(slice->start) && is_plain_slice_part(slice->stop) &&
        is_plain_slice_part(slice->step)) {
      return standard(value, facts, depth);
    }
    object_or_user_repr(value, facts, depth);
  }

  void builtin_subclass(PyObject* value, const TypeFacts& facts, Kind kind, int depth) {
    std::optional<size_t> size = builtin_size(value, kind);
    if (size && !enter(value, size, depth)) return;
    size_t start = begin_ext();
    out_.array_header(2);
    out_.raw(facts.packed_name);
    builtin_value(value, kind, depth);
    end_ext(start, kSubclass);
    if (size) leave();
  }
  // The item count of a builtin container; none for the scalar types.
  static std::optional<size_t> builtin_size(PyObject* value, Kind kind) {
    switch (kind) {
      case Kind::list_subclass: return PyList_GET_SIZE(value);
      case Kind::tuple_subclass: return PyTuple_GET_SIZE(value);
      case Kind::dict_subclass: return PyDict_GET_SIZE(value);
      case Kind::set_subclass:
      case Kind::frozenset_subclass: return PySet_GET_SIZE(value);
      default: return std::nullopt;
    }
  }
  void builtin_value(PyObject* value, Kind kind, int depth) {
    switch (kind) {
      case Kind::int_subclass: return integer(value);
      case Kind::float_subclass: return out_.float64(PyFloat_AS_DOUBLE(value));
      case Kind::str_subclass: return text(value, limits_.chars);
      case Kind::bytes_subclass: return bytes(value);
      case Kind::list_subclass: return list_items(value, depth);
      case Kind::dict_subclass: return dict_entries(value, depth);
      case Kind::tuple_subclass:
      case Kind::set_subclass:
      case Kind::frozenset_subclass: {
        size_t start = begin_ext();
        if (kind == Kind::tuple_subclass) {
          tuple_items(value, depth);
        } else {
          set_items(value, depth);
        }
        return end_ext(start, kind == Kind::tuple_subclass ? kTuple : kind == Kind::set_subclass ? kSet : kFrozenSet);
      }
      default: throw Failed{};
    }
  }

  // Objects: their type, id and attributes, or their own repr when the
  // user opted in.

  void object_or_user_repr(PyObject* value, const TypeFacts& facts, int depth) {
    if (limits_.user_repr && options_.user_repr && user_repr(value, facts)) return;
    object(value, facts, depth);
  }
  bool user_repr(PyObject* value, const TypeFacts& facts) {
    py::Ref repr = py::Ref::steal(PyObject_Repr(value));
    if (!repr) {
      drop_or_propagate();
      return false;
    }
    size_t start = begin_ext();
    out_.array_header(2);
    out_.raw(facts.packed_name);
    text(repr.get(), limits_.repr_chars);
    end_ext(start, kUserRepr);
    return true;
  }

  void object(PyObject* value, const TypeFacts& facts, int depth) {
    if (!enter(value, std::nullopt, depth)) return;
    size_t start = begin_ext();
    out_.array_header(3);
    out_.raw(facts.packed_name);
    out_.uint(reinterpret_cast<uintptr_t>(value));
    attributes(value, facts, depth);
    end_ext(start, kObject);
    leave();
  }

  // The instance dict, when the object has one.
  static py::Ref instance_dict(PyObject* value, const TypeFacts& facts) {
    if (!facts.has_instance_dict) return {};
    PyObject** slot = py::instance_dict_slot(value);
    if (slot == nullptr) {
      PyErr_Clear();
      return {};
    }
    return py::Ref::borrow(*slot != nullptr && PyDict_CheckExact(*slot) ? *slot : nullptr);
  }
  static py::Ref instance_attribute(PyObject* value, const TypeFacts& facts, PyObject* name) {
    py::Ref dict = instance_dict(value, facts);
    if (!dict) return {};
    PyObject* found = PyDict_GetItemWithError(dict.get(), name);
    if (found == nullptr) PyErr_Clear();
    return py::Ref::borrow(found);
  }
  // Attributes are the entries of the instance dict under exact str keys.
  static size_t str_key_count(PyObject* dict) {
    size_t count = 0;
    Py_ssize_t position = 0;
    PyObject *key, *item;
    while (PyDict_Next(dict, &position, &key, &item)) count += PyUnicode_CheckExact(key);
    return count;
  }

  // A member belongs to a class of the object's MRO; one copied into an
  // unrelated class must not read this object's memory at its offset.
  static bool slot_applies(PyObject* value, const SlotMember& slot) {
    return PyObject_TypeCheck(value, slot.owner);
  }
  static bool slot_filled(PyObject* value, const SlotMember& slot) {
    if (!slot_applies(value, slot)) return false;
    if (slot.member->type != py::kMemberObjectEx) return true;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(value) + slot.member->offset) != nullptr;
  }

  void attributes(PyObject* value, const TypeFacts& facts, int depth) {
    py::Ref dict = instance_dict(value, facts);
    size_t total = dict ? str_key_count(dict.get()) : 0;
    for (const SlotMember& slot : facts.slots) total += slot_filled(value, slot);
    size_t keep = take(total);
    bool cut = keep < total;
    Header header = begin_map(keep + cut);
    size_t written = 0;
    Py_ssize_t position = 0;
    PyObject *key, *item;
    while (dict && written < keep && PyDict_Next(dict.get(), &position, &key, &item)) {
      if (!PyUnicode_CheckExact(key)) continue;
      py::Ref held_key = py::Ref::borrow(key);
      py::Ref held_item = py::Ref::borrow(item);
      this->value(key, depth + 1);
      entry_value(key, item, depth);
      ++written;
    }
    for (const SlotMember& slot : facts.slots) {
      if (written >= keep) break;
      if (!slot_filled(value, slot)) continue;
      py::Ref item = py::Ref::steal(PyMember_GetOne(reinterpret_cast<const char*>(value), slot.member));
      if (!item) {
        drop_or_propagate();
        continue;
      }
      name_text(slot.name, slot.name_chars);
      if (options_.redaction.matches(slot.name)) {
        redacted();
      } else {
        this->value(item.get(), depth + 1);
      }
      ++written;
    }
    if (cut) {
      more(total - keep);
      out_.nil();
    }
    end_container(header, written + cut);
  }

  msgpack::Writer& out_;
  const Limits& limits_;
  const Options& options_;
  size_t budget_;
  // The containers being encoded, from the top value down.
  // Only the first `path_size_` are set.
  std::array<PyObject*, 16> path_;
  size_t path_size_ = 0;
};

// What a value that could not be encoded is written as: elided, with its
// type name when even that can be read.
void write_fallback(PyTypeObject* type, msgpack::Writer& out) {
  std::string name = type_name(type);
  PyErr_Clear();
  size_t start = out.size();
  out.array_header(2);
  out.str(name.empty() ? "?" : name);
  out.nil();
  size_t header = out.size();
  out.ext_header(kElided, header - start);
  out.move_tail(header, start);
}

constexpr const Limits& limits_for(bool lightweight) { return lightweight ? kLightweightLimits : kFullLimits; }

// Runs `encode` on an Encoder over `out`; a failed encoding leaves the
// fallback for a value of `type` instead.
template <typename Encode>
bool encode_or_fallback(PyTypeObject* type, bool lightweight, const Options& options, msgpack::Writer& out,
                        Encode encode) noexcept {
  size_t start = out.size();
  try {
    Encoder encoder(out, limits_for(lightweight), options);
    encode(encoder);
    return true;
  } catch (const Propagate&) {
    out.truncate(start);
    return false;
  } catch (...) {
    PyErr_Clear();
  }
  out.truncate(start);
  try {
    write_fallback(type, out);
  } catch (const std::bad_alloc&) {
    out.truncate(start);
    PyErr_NoMemory();
    return false;
  }
  return true;
}

}  // namespace

bool encode_value(PyObject* value, bool lightweight, msgpack::Writer& out) noexcept {
  size_t start = out.size();
  try {
    if (scalar(value, limits_for(lightweight), out)) return true;
  } catch (const std::bad_alloc&) {
    out.truncate(start);
  }
  OptionsInUse options;
  return encode_or_fallback(Py_TYPE(value), lightweight, options.get(), out,
                            [value](Encoder& encoder) { encoder.value(value, 0); });
}

bool encode_named_map(size_t size, const NamedEntry* first, bool lightweight, const Options& options,
                      msgpack::Writer& out) noexcept {
  return encode_or_fallback(&PyDict_Type, lightweight, options, out,
                            [size, first](Encoder& encoder) { encoder.named_map(size, first); });
}

std::string encoded_name(std::string_view utf8, size_t chars, bool lightweight) {
  msgpack::Writer out;
  Options none{Redaction({}), false};
  Encoder encoder(out, limits_for(lightweight), none);
  encoder.name_text(utf8, chars);
  return out.to_string();
}

}  // namespace vopo::values
