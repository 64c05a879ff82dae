#include "utils/ids.h"

#include <sys/random.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <unistd.h>

#include "py/error.h"

namespace vopo::ids {

namespace {

// 128 bits of a ULID, or the low bits of a part of it.
struct Ulid {
  uint64_t high;
  uint64_t low;
};

constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
// A ULID's text: 10 characters for the 48 bits of milliseconds, then 16 for
// the 80 random bits.
constexpr size_t kTimeTextSize = 10;
constexpr size_t kRandomTextSize = kUlidTextSize - kTimeTextSize;

// Random bytes straight from the kernel CSPRNG, buffered per thread so that a
// syscall serves many ids. Trivially destructible, so it is safe to use even
// while a thread is being torn down.
struct RandomBuffer {
  unsigned char bytes[512];
  size_t used = sizeof(bytes);
  // The text of the millisecond the last id was made in: ids of the same
  // millisecond share it.
  uint64_t text_millis = UINT64_MAX;
  std::array<char, kTimeTextSize> time_text;
};

thread_local RandomBuffer random_buffer;

void fill_from_urandom(unsigned char* out, size_t size) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  size_t filled = 0;
  while (fd >= 0 && filled < size) {
    ssize_t got = read(fd, out + filled, size - filled);
    if (got > 0) {
      filled += static_cast<size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      break;
    }
  }
  if (fd >= 0) close(fd);
}

void fill_random(unsigned char* out, size_t size) {
  size_t filled = 0;
  while (filled < size) {
    ssize_t got = getrandom(out + filled, size - filled, 0);
    if (got > 0) {
      filled += static_cast<size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      fill_from_urandom(out + filled, size - filled);
      return;
    }
  }
}

// The next 80 random bits: 16 in `high`, 64 in `low`, both big-endian, so
// the buffer is reached once per id.
struct RandomBits {
  uint64_t high;
  uint64_t low;
};

RandomBits random_80_bits(RandomBuffer& buffer) {
  if (buffer.used + 10 > sizeof(buffer.bytes)) {
    fill_random(buffer.bytes, sizeof(buffer.bytes));
    buffer.used = 0;
  }
  const unsigned char* bytes = buffer.bytes + buffer.used;
  buffer.used += 10;
  uint16_t high = 0;
  uint64_t low = 0;
  std::memcpy(&high, bytes, 2);
  std::memcpy(&low, bytes + 2, 8);
  return {__builtin_bswap16(high), __builtin_bswap64(low)};
}

uint64_t now_millis() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec < 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace

void reseed_after_fork() { random_buffer.used = sizeof(random_buffer.bytes); }

namespace {

// The 5-bit group of the 130-bit number (high:low) whose lowest bit is `shift`;
// the first group holds only the top 3 bits.
template <unsigned shift>
constexpr unsigned five_bits(Ulid ulid) {
  if constexpr (shift >= 64) {
    return static_cast<unsigned>(ulid.high >> (shift - 64)) & 0x1f;
  } else if constexpr (shift + 5 > 64) {
    return static_cast<unsigned>((ulid.low >> shift) | (ulid.high << (64 - shift))) & 0x1f;
  } else {
    return static_cast<unsigned>(ulid.low >> shift) & 0x1f;
  }
}

// The `size` lowest 5-bit groups of `ulid` as text, unrolled at compile
// time: every shift is a constant.
template <size_t size, size_t... position>
std::array<char, size> base32_text(Ulid ulid, std::index_sequence<position...>) {
  return {kAlphabet[five_bits<5 * (size - 1 - position)>(ulid)]...};
}


// The id's time part is encoded once per millisecond and thread; only the
// random part is new for each id.
Id prefixed(const char* prefix) {
  Id id;
  std::memcpy(id.chars.data(), prefix, 4);
  RandomBuffer& buffer = random_buffer;
  uint64_t millis = now_millis() & 0xffffffffffffULL;
  if (millis != buffer.text_millis) {
    buffer.time_text = base32_text<kTimeTextSize>(Ulid{0, millis}, std::make_index_sequence<kTimeTextSize>());
    buffer.text_millis = millis;
  }
  std::memcpy(id.chars.data() + 4, buffer.time_text.data(), kTimeTextSize);
  RandomBits random = random_80_bits(buffer);
  auto random_text =
      base32_text<kRandomTextSize>(Ulid{random.high, random.low}, std::make_index_sequence<kRandomTextSize>());
  std::memcpy(id.chars.data() + 4 + kTimeTextSize, random_text.data(), kRandomTextSize);
  return id;
}

}  // namespace

Id new_frame_id() { return prefixed("frm_"); }

Id new_trace_id() { return prefixed("trc_"); }

double current_timestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec < 0) throw py::Error::panic("System time is before unix epoch");
  return static_cast<double>(now.tv_nsec) / 1e9 + static_cast<double>(now.tv_sec);
}

}  // namespace vopo::ids
