// What a frame record says about a frame: its path and line, and its
// qualified name.
#pragma once

#include <optional>
#include <string>

#include "py/python.h"

namespace vopo::utils {

// The frame's file relative to the working directory, ":" and its line.
// `cached` reads the directory as last seen rather than asking the system.
std::string frame_path(PyFrameObject* frame, bool cached);

// The dotted module and qualified name; inferred from the frame's callers
// and locals where code objects carry no qualified name. Absent when it
// cannot be found. `cached` keeps names per code object where they carry a
// qualified name, and reads attributes natively where it can rather than
// through `inspect`.
std::optional<std::string> frame_qualname(PyFrameObject* frame, bool cached);

}  // namespace vopo::utils
