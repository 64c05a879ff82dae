// What a frame record says about a frame: its path and line, and its
// qualified name.
#pragma once

#include "msgpack/writer.h"
#include "py/python.h"

namespace vopo::utils {

// Appends the str "<file relative to the working directory>:<line>".
// `cached` keeps the relative file per code object until the file name or
// the working directory changes, and the line as `frame_line` does;
// otherwise the directory is read afresh.
// Throws py::Error before writing anything.
void write_frame_path(msgpack::Writer& out, PyFrameObject* frame, bool cached);

// The line the frame is at, as py::frame_line gives it. `cached` keeps the
// lines of the code's instruction offsets on the code object, so that a
// line read again costs no walk of the code's line table.
int frame_line(PyFrameObject* frame, bool cached);

// Appends the str of the dotted module and qualified name, or nil when it
// cannot be found. Inferred from the frame's callers and locals where code
// objects carry no qualified name. `cached` keeps the names made per code
// object, and reads what the inference needs natively where it can rather
// than through `inspect`. Throws py::Error (the program's own exception)
// before writing anything. Allocates nothing when the name is kept.
void write_frame_qualname(msgpack::Writer& out, PyFrameObject* frame, bool cached);

}  // namespace vopo::utils
