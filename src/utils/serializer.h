// The bridge to the host package's value serializer, `vopo.serialize`.
#pragma once

#include <string>
#include <string_view>

#include "msgpack/writer.h"
#include "py/python.h"

namespace vopo::utils {

// Appends the MessagePack bytes of `value` as the host encodes it:
// `dump_msgpack`, or `dump_msgpack_lightweight_repr` when `lightweight` is
// set. The module is looked up on every call, so a replaced serializer takes
// effect at once. On failure `out` is left as it was.
void write_serialized(msgpack::Writer& out, PyObject* value, bool lightweight);

// Appends the serialized locals of `frame` as the record holds them: a
// module frame's without "__builtins__".
void write_serialized_locals(msgpack::Writer& out, PyFrameObject* frame, bool lightweight);

// The bytes `write_serialized` appends, as a string.
std::string serialize_value(PyObject* value, bool lightweight);

}  // namespace vopo::utils
