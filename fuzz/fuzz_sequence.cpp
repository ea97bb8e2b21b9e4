// Several messages in turn, so that state left by one meets the next. The
// input is: mode byte, then records of [u16 LE record length][bytes].
#include <cstddef>
#include <cstdint>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  kelvo::fuzz::Harness harness(data[0]);
  std::size_t pos = 1;
  for (int count = 0; count < 64 && pos + 2 <= size; ++count) {
    std::size_t n = static_cast<std::size_t>(data[pos] | (data[pos + 1] << 8));
    pos += 2;
    if (n > size - pos) n = size - pos;
    harness.Deliver(data + pos, n);
    pos += n;
    if (harness.client() == nullptr) break;
  }
  return 0;
}
