// The native value encoder: MessagePack bytes of any Python value, by the
// value model in docs/values.md, without running the program's code.
#pragma once

#include "msgpack/writer.h"
#include "py/python.h"

namespace vopo::values {

// Appends the encoding of `value` to `out`, with the lightweight limits
// when `lightweight` is set. Never fails and leaves no exception pending,
// with one exception: when an opted-in user repr raised a BaseException that
// is not an Exception (KeyboardInterrupt, SystemExit), it returns false with
// that exception pending and `out` as it was.
bool encode_value(PyObject* value, bool lightweight, msgpack::Writer& out) noexcept;

}  // namespace vopo::values
