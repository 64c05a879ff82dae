#include "values/type_facts.h"

#include <array>
#include <string_view>

#include "msgpack/writer.h"
#include "py/compat.h"
#include "py/names.h"
#include "values/text.h"

namespace vopo::values {

namespace {

struct StandardType {
  const char* module;
  const char* name;
  Kind kind;
};

// Types of the standard library whose repr is a faithful, side-effect-free
// text of the value. They are recognised by identity with the module's own
// type, and only when the program has loaded the module already.
constexpr std::array<StandardType, 13> kStandardTypes{{
    {"decimal", "Decimal", Kind::standard},
    {"fractions", "Fraction", Kind::standard},
    {"datetime", "datetime", Kind::standard_datetime},
    {"datetime", "date", Kind::standard},
    {"datetime", "time", Kind::standard_time},
    {"datetime", "timedelta", Kind::standard},
    {"datetime", "timezone", Kind::standard},
    {"uuid", "UUID", Kind::standard},
    {"pathlib", "PurePosixPath", Kind::standard},
    {"pathlib", "PureWindowsPath", Kind::standard},
    {"pathlib", "PosixPath", Kind::standard},
    {"pathlib", "WindowsPath", Kind::standard},
    {"re", "Pattern", Kind::standard},
}};

// sys.modules[module].name, borrowed, when both are there.
PyObject* loaded_attribute(const char* module, const char* name) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* found = PyDict_GetItemString(modules, module);
  if (found == nullptr || !PyModule_CheckExact(found)) return nullptr;
  return PyDict_GetItemString(PyModule_GetDict(found), name);
}

bool is_enum_type(PyTypeObject* type) {
  PyObject* meta = loaded_attribute("enum", "EnumMeta");
  return meta != nullptr && PyType_Check(meta) &&
         PyType_IsSubtype(Py_TYPE(type), reinterpret_cast<PyTypeObject*>(meta));
}

Kind standard_kind(PyTypeObject* type) {
  if (type == &PyComplex_Type || type == &PyRange_Type) return Kind::standard;
  if (type == &PySlice_Type) return Kind::standard_slice;
  auto* object = reinterpret_cast<PyObject*>(type);
  for (const StandardType& standard : kStandardTypes) {
    if (loaded_attribute(standard.module, standard.name) == object) return standard.kind;
  }
  return Kind::object;
}

Kind builtin_subclass_kind(PyTypeObject* type) {
  if (PyType_FastSubclass(type, Py_TPFLAGS_LONG_SUBCLASS)) return Kind::int_subclass;
  if (PyType_IsSubtype(type, &PyFloat_Type)) return Kind::float_subclass;
  if (PyType_FastSubclass(type, Py_TPFLAGS_UNICODE_SUBCLASS)) return Kind::str_subclass;
  if (PyType_FastSubclass(type, Py_TPFLAGS_BYTES_SUBCLASS)) return Kind::bytes_subclass;
  if (PyType_FastSubclass(type, Py_TPFLAGS_LIST_SUBCLASS)) return Kind::list_subclass;
  if (PyType_FastSubclass(type, Py_TPFLAGS_TUPLE_SUBCLASS)) return Kind::tuple_subclass;
  if (PyType_FastSubclass(type, Py_TPFLAGS_DICT_SUBCLASS)) return Kind::dict_subclass;
  if (PyType_IsSubtype(type, &PyFrozenSet_Type)) return Kind::frozenset_subclass;
  if (PyType_IsSubtype(type, &PySet_Type)) return Kind::set_subclass;
  return Kind::object;
}

Kind classify(PyTypeObject* type) {
  if (PyType_FastSubclass(type, Py_TPFLAGS_TYPE_SUBCLASS)) return Kind::class_ref;
  if (PyType_IsSubtype(type, &PyModule_Type)) return Kind::module_ref;
  if (type == &PyFunction_Type) return Kind::function_ref;
  if (type == &PyCFunction_Type) return Kind::builtin_ref;
  if (type == &PyMethod_Type) return Kind::method_ref;
  if (PyType_FastSubclass(type, Py_TPFLAGS_BASE_EXC_SUBCLASS)) return Kind::exception;
  if (is_enum_type(type)) return Kind::enum_member;
  Kind standard = standard_kind(type);
  if (standard != Kind::object) return standard;
  return builtin_subclass_kind(type);
}

// The member descriptors and the `__dict__` descriptor of one class's own
// dict.
void add_attributes_of_class(PyTypeObject* owner, TypeFacts& facts) {
  py::Ref dict = py::type_dict(owner);
  if (!dict || !PyDict_Check(dict.get())) return;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict.get(), &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) continue;
    if (Py_IS_TYPE(value, &PyGetSetDescr_Type) && PyUnicode_CompareWithASCIIString(key, "__dict__") == 0) {
      facts.has_instance_dict = true;
    }
    if (!Py_IS_TYPE(value, &PyMemberDescr_Type) || !py::unicode_ready(key)) continue;
    auto* descriptor = reinterpret_cast<PyMemberDescrObject*>(value);
    PyMemberDef* member = descriptor->d_member;
    // Reading an audited member would run the program's audit hooks.
    if (member == nullptr || (member->flags & py::kMemberAuditedRead)) continue;
    facts.slots.push_back({utf8_of(key), static_cast<size_t>(PyUnicode_GET_LENGTH(key)), descriptor->d_common.d_type,
                           member});
  }
  PyErr_Clear();
}

void add_attributes(PyTypeObject* type, TypeFacts& facts) {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (PyType_Check(base)) add_attributes_of_class(reinterpret_cast<PyTypeObject*>(base), facts);
  }
}

std::shared_ptr<const TypeFacts> compute_facts(PyTypeObject* type) {
  auto facts = std::make_shared<TypeFacts>();
  facts->kind = classify(type);
  facts->kind_without_enum = facts->kind == Kind::enum_member ? builtin_subclass_kind(type) : facts->kind;
  facts->packed_name = packed_str(type_name(type));
  add_attributes(type, *facts);
  return facts;
}

// The objects a type's name is made of: its qualified name and the
// `__module__` entry of its dict (static types have neither).
struct NameParts {
  PyObject* qualname = nullptr;
  PyObject* module = nullptr;
};

NameParts name_parts(PyTypeObject* type) {
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return {};
  py::Ref dict = py::type_dict(type);
  PyObject* module = dict ? PyDict_GetItemWithError(dict.get(), py::names().dunder_module) : nullptr;
  if (module == nullptr) PyErr_Clear();
  return {reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname, module};
}

// The version tag does not change on every interpreter when a class is
// renamed, so an entry also holds the name's parts and is valid only while
// the type still has them.
struct CacheEntry {
  PyTypeObject* type = nullptr;
  unsigned int version = 0;
  py::Ref qualname;
  py::Ref module;
  std::shared_ptr<const TypeFacts> facts;

  bool holds(PyTypeObject* wanted, unsigned int wanted_version, const NameParts& parts) const {
    return wanted_version != 0 && type == wanted && version == wanted_version && qualname.get() == parts.qualname &&
           module.get() == parts.module;
  }
};

// Only names made of exact strings are kept: replacing an entry lets go of
// them, and letting go of any other object could run the program's code
// (a finalizer) in the middle of an encoding.
bool releases_silently(const NameParts& parts) {
  auto exact_or_none = [](PyObject* part) { return part == nullptr || PyUnicode_CheckExact(part); };
  return exact_or_none(parts.qualname) && exact_or_none(parts.module);
}

constexpr size_t kCacheSize = 512;

CacheEntry& cache_entry(PyTypeObject* type) {
  // Never destroyed: its references must not be released after the
  // interpreter is gone.
  static auto* cache = new std::array<CacheEntry, kCacheSize>();
  return (*cache)[(reinterpret_cast<uintptr_t>(type) >> 4) % kCacheSize];
}

}  // namespace

std::string type_name(PyTypeObject* type) {
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
    std::string_view full = type->tp_name;
    if (full.find('.') == std::string_view::npos) return "builtins." + std::string(full);
    return std::string(full);
  }
  NameParts parts = name_parts(type);
  std::string qualname = utf8_of(parts.qualname);
  if (parts.module == nullptr || !PyUnicode_Check(parts.module)) return qualname;
  return utf8_of(parts.module) + "." + qualname;
}

std::string packed_str(std::string_view text) {
  msgpack::Writer writer(text.size() + 5);
  writer.str(text);
  return writer.to_string();
}

PyTypeObject* timezone_type() {
  static PyObject* timezone = nullptr;
  if (timezone == nullptr) {
    timezone = loaded_attribute("datetime", "timezone");
    if (timezone == nullptr || !PyType_Check(timezone)) {
      timezone = nullptr;
      return nullptr;
    }
    Py_INCREF(timezone);
  }
  return reinterpret_cast<PyTypeObject*>(timezone);
}

std::shared_ptr<const TypeFacts> type_facts(PyTypeObject* type) {
  unsigned int version = py::type_version(type, py::names().dunder_module);
  NameParts parts = name_parts(type);
  CacheEntry& entry = cache_entry(type);
  if (entry.holds(type, version, parts)) return entry.facts;
  std::shared_ptr<const TypeFacts> facts = compute_facts(type);
  if (version != 0 && releases_silently(parts)) {
    entry = {type, version, py::Ref::borrow(parts.qualname), py::Ref::borrow(parts.module), facts};
  }
  return facts;
}

}  // namespace vopo::values
