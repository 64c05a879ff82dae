#include "msgpack/writer.h"

#include <bit>
#include <cstring>

namespace vopo::msgpack {

void Writer::be16(uint16_t value) {
  byte(static_cast<uint8_t>(value >> 8));
  byte(static_cast<uint8_t>(value));
}

void Writer::be32(uint32_t value) {
  be16(static_cast<uint16_t>(value >> 16));
  be16(static_cast<uint16_t>(value));
}

void Writer::be64(uint64_t value) {
  be32(static_cast<uint32_t>(value >> 32));
  be32(static_cast<uint32_t>(value));
}

void Writer::uint(uint64_t value) {
  if (value <= 0x7f) {
    byte(static_cast<uint8_t>(value));
  } else if (value <= 0xff) {
    byte(0xcc);
    byte(static_cast<uint8_t>(value));
  } else if (value <= 0xffff) {
    byte(0xcd);
    be16(static_cast<uint16_t>(value));
  } else if (value <= 0xffffffffu) {
    byte(0xce);
    be32(static_cast<uint32_t>(value));
  } else {
    byte(0xcf);
    be64(value);
  }
}

void Writer::sint(int64_t value) {
  if (value >= 0) {
    uint(static_cast<uint64_t>(value));
  } else if (value >= -32) {
    byte(static_cast<uint8_t>(value));
  } else if (value >= INT8_MIN) {
    byte(0xd0);
    byte(static_cast<uint8_t>(value));
  } else if (value >= INT16_MIN) {
    byte(0xd1);
    be16(static_cast<uint16_t>(value));
  } else if (value >= INT32_MIN) {
    byte(0xd2);
    be32(static_cast<uint32_t>(value));
  } else {
    byte(0xd3);
    be64(static_cast<uint64_t>(value));
  }
}

void Writer::float64(double value) {
  byte(0xcb);
  be64(std::bit_cast<uint64_t>(value));
}

void Writer::str(std::string_view text) {
  size_t n = text.size();
  if (n <= 31) {
    byte(static_cast<uint8_t>(0xa0 | n));
  } else if (n <= 0xff) {
    byte(0xd9);
    byte(static_cast<uint8_t>(n));
  } else if (n <= 0xffff) {
    byte(0xda);
    be16(static_cast<uint16_t>(n));
  } else {
    byte(0xdb);
    be32(static_cast<uint32_t>(n));
  }
  buffer_.append(text);
}

void Writer::header(size_t count, uint8_t fix_base, size_t fix_max, uint8_t form16, uint8_t form32) {
  if (count <= fix_max) {
    byte(static_cast<uint8_t>(fix_base | count));
  } else if (count <= 0xffff) {
    byte(form16);
    be16(static_cast<uint16_t>(count));
  } else {
    byte(form32);
    be32(static_cast<uint32_t>(count));
  }
}

void Writer::array_header(size_t count) { header(count, 0x90, 15, 0xdc, 0xdd); }

void Writer::map_header(size_t count) { header(count, 0x80, 15, 0xde, 0xdf); }

}  // namespace vopo::msgpack
