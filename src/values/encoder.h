// The native value encoder: MessagePack bytes of any Python value, by the
// value model in docs/values.md, without running the program's code.
#pragma once

#include <string>
#include <string_view>

#include "msgpack/writer.h"
#include "py/python.h"
#include "values/limits.h"
#include "values/options.h"

namespace vopo::values {

// Appends the encoding of `value` to `out`, with the lightweight limits
// when `lightweight` is set. Never fails and leaves no exception pending,
// with one exception: when an opted-in user repr raised a BaseException that
// is not an Exception (KeyboardInterrupt, SystemExit), it returns false with
// that exception pending and `out` as it was.
bool encode_value(PyObject* value, bool lightweight, msgpack::Writer& out) noexcept;

// One entry of a str-keyed map given without a dict.
struct NamedEntry {
  std::string_view packed_key;  // as `encoded_name` gives it for the limits used
  bool secret;                  // the key's redaction verdict under the options used
  PyObject* value;
};

// How many entries of a map the limits can keep at most.
inline size_t kept_entries(bool lightweight) {
  return lightweight ? kLightweightLimits.items : kFullLimits.items;
}

// Appends what `encode_value` gives for a dict of `size` str keys whose
// first entries, as many as `kept_entries` allows, are `first`; `options`
// are the ones the redaction verdicts were taken under. Fails as
// `encode_value`.
bool encode_named_map(size_t size, const NamedEntry* first, bool lightweight, const Options& options,
                      msgpack::Writer& out) noexcept;

// The bytes of a str key of `chars` characters, given as UTF-8.
std::string encoded_name(std::string_view utf8, size_t chars, bool lightweight);

}  // namespace vopo::values
