#include "values/type_facts.h"

#include <array>
#include <string_view>

#include "msgpack/writer.h"
#include "py/compat.h"
#include "py/names.h"
#include "values/redaction.h"
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
constexpr std::array<StandardType, 15> kStandardTypes{{
    {"decimal", "Decimal", Kind::standard},
    {"fractions", "Fraction", Kind::standard},
    {"datetime", "datetime", Kind::standard_datetime},
    {"datetime", "date", Kind::standard},
    {"datetime", "time", Kind::standard_time},
    {"datetime", "timedelta", Kind::standard},
    {"datetime", "timezone", Kind::standard},
    {"uuid", "UUID", Kind::standard},
    {"pathlib", "PurePath", Kind::standard},
    {"pathlib", "PurePosixPath", Kind::standard},
    {"pathlib", "PureWindowsPath", Kind::standard},
    {"pathlib", "Path", Kind::standard},
    {"pathlib", "PosixPath", Kind::standard},
    {"pathlib", "WindowsPath", Kind::standard},
    {"re", "Pattern", Kind::standard},
}};

// sys.modules[module].name, borrowed, when both are there.
PyObject* loaded_attribute(const char* module, const char* name) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* found = PyDict_GetItemString(modules, module);
  if (found == nullptr || !PyModule_Check(found)) return nullptr;
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
  if (PyType_IsSubtype(type, &PyCFunction_Type)) return Kind::builtin_ref;
  if (type == &PyMethod_Type) return Kind::method_ref;
  if (PyType_FastSubclass(type, Py_TPFLAGS_BASE_EXC_SUBCLASS)) return Kind::exception;
  if (is_enum_type(type)) return Kind::enum_member;
  Kind standard = standard_kind(type);
  if (standard != Kind::object) return standard;
  return builtin_subclass_kind(type);
}

std::string lowered(PyObject* name) {
  if (!py::unicode_ready(name)) {
    PyErr_Clear();
    return {};
  }
  if (!PyUnicode_IS_ASCII(name)) {
    std::string text = lower_utf8(name);
    PyErr_Clear();
    return text;
  }
  std::string text = utf8_of(name);
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void add_slots_of_class(PyTypeObject* owner, std::vector<SlotMember>& slots) {
  py::Ref dict = py::type_dict(owner);
  if (!dict || !PyDict_Check(dict.get())) return;
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict.get(), &position, &key, &value)) {
    if (!Py_IS_TYPE(value, &PyMemberDescr_Type) || !PyUnicode_Check(key)) continue;
    auto* descriptor = reinterpret_cast<PyMemberDescrObject*>(value);
    PyMemberDef* member = descriptor->d_member;
    // Reading an audited member would run the program's audit hooks.
    if (member == nullptr || (member->flags & py::kMemberAuditedRead)) continue;
    slots.push_back({packed_str(utf8_of(key)), lowered(key), descriptor->d_common.d_type, member});
  }
}

std::vector<SlotMember> slot_members(PyTypeObject* type) {
  std::vector<SlotMember> slots;
  PyObject* mro = type->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return slots;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (PyType_Check(base)) add_slots_of_class(reinterpret_cast<PyTypeObject*>(base), slots);
  }
  return slots;
}

std::shared_ptr<const TypeFacts> compute_facts(PyTypeObject* type) {
  auto facts = std::make_shared<TypeFacts>();
  facts->kind = classify(type);
  facts->packed_name = packed_str(type_name(type));
  if (facts->kind == Kind::object || facts->kind == Kind::standard_datetime ||
      facts->kind == Kind::standard_time || facts->kind == Kind::standard_slice) {
    facts->slots = slot_members(type);
  }
  return facts;
}

struct CacheEntry {
  PyTypeObject* type = nullptr;
  unsigned int version = 0;
  std::shared_ptr<const TypeFacts> facts;
};

constexpr size_t kCacheSize = 512;

CacheEntry& cache_entry(PyTypeObject* type) {
  static std::array<CacheEntry, kCacheSize> cache;
  return cache[(reinterpret_cast<uintptr_t>(type) >> 4) % kCacheSize];
}

}  // namespace

std::string type_name(PyTypeObject* type) {
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
    std::string_view full = type->tp_name;
    if (full.find('.') == std::string_view::npos) return "builtins." + std::string(full);
    return std::string(full);
  }
  std::string qualname = utf8_of(reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname);
  py::Ref dict = py::type_dict(type);
  PyObject* module = dict ? PyDict_GetItemWithError(dict.get(), py::names().dunder_module) : nullptr;
  if (module == nullptr || !PyUnicode_Check(module)) {
    PyErr_Clear();
    return qualname;
  }
  return utf8_of(module) + "." + qualname;
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
  CacheEntry& entry = cache_entry(type);
  if (version != 0 && entry.type == type && entry.version == version) return entry.facts;
  std::shared_ptr<const TypeFacts> facts = compute_facts(type);
  if (version != 0) entry = {type, version, facts};
  return facts;
}

}  // namespace vopo::values
