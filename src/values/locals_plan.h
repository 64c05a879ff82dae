// A function frame's locals encoded straight from the frame, with the bytes
// the encoder gives for the frame's locals snapshot dict, but without making
// the dict.
#pragma once

#include "msgpack/writer.h"
#include "py/python.h"

namespace vopo::values {

// Appends the encoding of the locals snapshot of `frame` and returns 1; 0
// with `out` as it was when the frame is not one this can reproduce exactly
// (the caller encodes the snapshot then); -1 with the error pending and `out`
// as it was when encoding failed as `encode_value` fails.
int encode_frame_locals(PyFrameObject* frame, bool lightweight, msgpack::Writer& out) noexcept;

}  // namespace vopo::values
