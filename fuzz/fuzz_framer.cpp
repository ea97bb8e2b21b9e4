// The stream framer against a straightforward reference parse of the same
// bytes, fed in chunks whose sizes come from the input (1 byte to 64 KiB).
// Input: [u8 n][n chunk-size words (u16 LE each)][stream bytes].
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nimbo2/framer.h"

namespace {

struct Reference {
  std::vector<std::vector<uint8_t>> messages;
  bool bad = false;
};

Reference Parse(const uint8_t* p, std::size_t n) {
  Reference ref;
  std::size_t pos = 0;
  while (n - pos >= 2) {
    const std::size_t length = static_cast<std::size_t>((p[pos] | (p[pos + 1] << 8)) & 0x7FFF);
    if (length < 4) {
      ref.bad = true;
      break;
    }
    if (n - pos < length) break;
    ref.messages.emplace_back(p + pos, p + pos + length);
    pos += length;
  }
  return ref;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::size_t chunks = data[0];
  std::size_t pos = 1;
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < chunks && pos + 2 <= size; ++i, pos += 2) {
    sizes.push_back(1 + static_cast<std::size_t>(data[pos] | (data[pos + 1] << 8)));
  }
  if (sizes.empty()) sizes.push_back(65536);
  const uint8_t* stream = data + pos;
  const std::size_t n = size - pos;
  const Reference ref = Parse(stream, n);

  Nimbo2::Framer framer;
  std::size_t seen = 0;
  bool bad = false;
  std::size_t offset = 0;
  for (std::size_t i = 0; offset < n && !bad; ++i) {
    std::size_t chunk = sizes[i % sizes.size()];
    if (chunk > n - offset) chunk = n - offset;
    if (chunk > framer.ReadSpace()) chunk = framer.ReadSpace();
    std::memcpy(framer.ReadPtr(), stream + offset, chunk);
    framer.Commit(chunk);
    offset += chunk;
    const auto status = framer.Drain([&](uint8_t* message, std::size_t length) {
      if (seen >= ref.messages.size()) std::abort();
      const auto& want = ref.messages[seen++];
      if (length != want.size() || std::memcmp(message, want.data(), length) != 0) std::abort();
      message[length - 1] ^= 0xFF;  // handlers may write into every byte
      return true;
    });
    bad = status == Nimbo2::Framer::Status::kBadLength;
  }
  if (seen != ref.messages.size() || bad != ref.bad) std::abort();
  return 0;
}
