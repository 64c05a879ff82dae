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

constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// Random bytes straight from the kernel CSPRNG, buffered per thread so that a
// syscall serves many ids. Trivially destructible, so it is safe to use even
// while a thread is being torn down.
struct RandomBuffer {
  unsigned char bytes[512];
  size_t used = sizeof(bytes);
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

RandomBits random_80_bits() {
  RandomBuffer& buffer = random_buffer;
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

Id prefixed(const char* prefix) {
  Id id;
  std::memcpy(id.chars.data(), prefix, 4);
  auto text = ulid_text(new_ulid());
  std::memcpy(id.chars.data() + 4, text.data(), text.size());
  return id;
}

}  // namespace

void reseed_after_fork() { random_buffer.used = sizeof(random_buffer.bytes); }

Ulid new_ulid() {
  uint64_t millis = now_millis() & 0xffffffffffffULL;
  RandomBits random = random_80_bits();
  return {(millis << 16) | random.high, random.low};
}

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

// Unrolled at compile time: every shift is a constant.
template <size_t... position>
std::array<char, kUlidTextSize> base32_text(Ulid ulid, std::index_sequence<position...>) {
  return {kAlphabet[five_bits<5 * (kUlidTextSize - 1 - position)>(ulid)]...};
}

}  // namespace

std::array<char, kUlidTextSize> ulid_text(Ulid ulid) {
  return base32_text(ulid, std::make_index_sequence<kUlidTextSize>());
}

Id new_frame_id() { return prefixed("frm_"); }

Id new_trace_id() { return prefixed("trc_"); }

double current_timestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec < 0) throw py::Error::panic("System time is before unix epoch");
  return static_cast<double>(now.tv_nsec) / 1e9 + static_cast<double>(now.tv_sec);
}

}  // namespace vopo::ids
