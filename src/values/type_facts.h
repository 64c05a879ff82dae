// What the encoder needs to know about a type that is not one of the exact
// builtin value types: which kind its instances get, its name, and its slot
// members. Worked out once per type and cached under the type's version
// tag, so a modified type is looked at again and no type is kept alive.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "py/python.h"

namespace vopo::values {

enum class Kind : uint8_t {
  object,
  class_ref,
  module_ref,
  function_ref,
  builtin_ref,
  method_ref,
  exception,
  enum_member,
  standard,
  standard_datetime,  // standard unless its tzinfo is of another type than timezone
  standard_time,
  standard_slice,     // standard when its fields are None or ints
  int_subclass,
  float_subclass,
  str_subclass,
  bytes_subclass,
  list_subclass,
  tuple_subclass,
  dict_subclass,
  set_subclass,
  frozenset_subclass,
};

// A member descriptor found in the type's MRO: an instance's slot.
struct SlotMember {
  std::string packed_name;  // the attribute name, as a MessagePack str
  std::string lowered_name;  // for redaction
  PyTypeObject* owner;       // the class whose dict holds it
  PyMemberDef* member;
};

struct TypeFacts {
  Kind kind = Kind::object;
  std::string packed_name;  // "module.qualname" as a MessagePack str
  std::vector<SlotMember> slots;
};

// The facts of `type`; never null. Runs no program code.
std::shared_ptr<const TypeFacts> type_facts(PyTypeObject* type);

// "module.qualname" of a type, read from the type object itself; the
// qualified name alone when the module is not a str.
std::string type_name(PyTypeObject* type);

// A MessagePack str holding `text`.
std::string packed_str(std::string_view text);

// The `datetime.timezone` type when the module is loaded, else NULL.
PyTypeObject* timezone_type();

}  // namespace vopo::values
