// The bridge to the host package's value serializer, `vopo.serialize`.
#pragma once

#include <string>
#include <string_view>

#include "msgpack/writer.h"
#include "py/python.h"

namespace vopo::utils {

// Appends the MessagePack bytes of `value` as the host encodes it:
// `dump_msgpack`, or `dump_msgpack_lightweight_repr` when `lightweight` is
// set. A replaced or monkeypatched serializer takes effect at the next
// value. The native encoder writes straight into `out`. Unless `cached`, the
// serializer is looked up afresh on every call. On failure, throws with
// `out` as it was.
void write_serialized(msgpack::Writer& out, PyObject* value, bool lightweight, bool cached = true);

// Appends what `write_serialized` gives for the frame's recorded locals:
// its locals snapshot, without "__builtins__". With the native encoder and
// `cached`, a function frame's locals are encoded from the frame itself.
void write_serialized_locals(msgpack::Writer& out, PyFrameObject* frame, bool lightweight, bool cached = true);

// `write_serialized` as a string of its own.
std::string serialize_value(PyObject* value, bool lightweight);

}  // namespace vopo::utils
