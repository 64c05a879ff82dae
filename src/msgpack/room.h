// A run of fields whose size is bounded up front: room is made once, then
// each field is written at a cursor that stays in a register, with no check
// per field. Nothing inside a run may fail or call out.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "msgpack/constant.h"
#include "msgpack/encoding.h"
#include "msgpack/writer.h"

namespace vopo::msgpack {

class Room {
 public:
  // The most bytes `str` takes for a text of `size` bytes.
  static constexpr size_t str_bound(size_t size) { return encoding::kLargestScalar + size; }

  Room(Writer& writer, size_t bound) : writer_(writer), out_(writer.room_for(bound)) {}
  ~Room() { writer_.advance_to(out_); }
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;

  template <size_t N>
  void constant(const Constant<N>& bytes) {
    out_ = encoding::put_bytes(out_, bytes.bytes.data(), N);
  }
  template <size_t N>
  void str(const std::array<char, N>& text) {
    static_assert(N <= 31, "a fixstr holds at most 31 bytes");
    out_ = encoding::put_byte(out_, static_cast<uint8_t>(0xa0 | N));
    out_ = encoding::put_bytes(out_, text.data(), N);
  }
  void str(std::string_view text) {
    out_ = encoding::put_str_header(out_, text.size());
    out_ = encoding::put_bytes(out_, text.data(), text.size());
  }
  void nil() { out_ = encoding::put_byte(out_, 0xc0); }
  void uint(uint64_t value) { out_ = encoding::put_uint(out_, value); }
  void sint(int64_t value) { out_ = encoding::put_sint(out_, value); }
  void float64(double value) { out_ = encoding::put_float64(out_, value); }

 private:
  Writer& writer_;
  char* out_;
};

}  // namespace vopo::msgpack
