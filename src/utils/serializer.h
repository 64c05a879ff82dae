// The bridge to the host package's value serializer, `vopo.serialize`.
#pragma once

#include <string>
#include <string_view>

#include "msgpack/writer.h"
#include "py/python.h"

namespace vopo::utils {

// The MessagePack bytes of `value` as the host encodes it: `dump_msgpack`,
// or `dump_msgpack_lightweight_repr` when `lightweight` is set. The module
// is looked up on every call, so a replaced serializer takes effect at once.
std::string serialize_value(PyObject* value, bool lightweight);

// Writes `key` and then the serialized bytes verbatim as its value.
void embed_serialized(msgpack::Writer& writer, std::string_view key, std::string&& serialized);

}  // namespace vopo::utils
