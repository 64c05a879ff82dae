// How vopo._vopo recognises the native encoder behind a serializer function
// and calls it directly. Each encoding function of vopo._values is bound to
// a capsule of this name holding a NativeEncoder; the two modules are built
// and installed together, so they agree on the layout.
#pragma once

#include "msgpack/writer.h"
#include "py/python.h"

namespace vopo::values {

inline constexpr const char* kNativeEncoderCapsule = "vopo._values.native_encoder.2";

struct NativeEncoder {
  bool lightweight;
  // As `encode_value`.
  bool (*encode)(PyObject* value, bool lightweight, msgpack::Writer& out) noexcept;
  // As `encode_frame_locals`.
  int (*encode_frame_locals)(PyFrameObject* frame, bool lightweight, msgpack::Writer& out) noexcept;
};

// The native encoder behind `function`, or NULL when it is anything else.
inline const NativeEncoder* native_encoder_of(PyObject* function) {
  if (!PyCFunction_Check(function)) return nullptr;
  PyObject* self = PyCFunction_GET_SELF(function);
  if (self == nullptr || !PyCapsule_IsValid(self, kNativeEncoderCapsule)) return nullptr;
  return static_cast<const NativeEncoder*>(PyCapsule_GetPointer(self, kNativeEncoderCapsule));
}

}  // namespace vopo::values
