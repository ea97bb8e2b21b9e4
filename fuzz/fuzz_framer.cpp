// A connection's inbox (the receive buffer that frames messages where they
// lie) against a straightforward reference parse of the same bytes: reads
// of input-chosen sizes, and a deliverer that takes input-chosen parts of
// each run, so partial messages move between segments at every offset.
// Input: [u8 n][n chunk-size words (u16 LE each)][stream bytes]. A chunk
// word's top bit makes the deliverer take only one message of that run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "inbox.h"

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
  std::vector<uint16_t> words;
  for (std::size_t i = 0; i < chunks && pos + 2 <= size; ++i, pos += 2) {
    words.push_back(static_cast<uint16_t>(data[pos] | (data[pos + 1] << 8)));
  }
  if (words.empty()) words.push_back(0xFFFF);
  const uint8_t* stream = data + pos;
  const std::size_t n = size - pos;
  const Reference ref = Parse(stream, n);

  Nimbo2::Inbox inbox;
  std::size_t seen = 0;
  // The deliverer: every run whole, or one message per run; each message
  // checked against the reference and then written into, as handlers do.
  auto deliver = [&](bool oneAtATime) {
    uint8_t* run;
    std::size_t bytes;
    while (inbox.Peek(&run, &bytes)) {
      std::size_t used = 0;
      uint32_t count = 0;
      while (used < bytes) {
        const std::size_t length = static_cast<std::size_t>(run[used] | (run[used + 1] << 8)) & 0x7FFF;
        if (seen >= ref.messages.size() || used + length > bytes) std::abort();
        const auto& want = ref.messages[seen++];
        if (length != want.size() || std::memcmp(run + used, want.data(), length) != 0) std::abort();
        run[used + length - 1] ^= 0xFF;
        used += length;
        ++count;
        if (oneAtATime) break;
      }
      inbox.Consume(used, count);
      if (oneAtATime) return;
    }
  };
  bool bad = false;
  std::size_t offset = 0;
  std::size_t published = 0;
  for (std::size_t i = 0; offset < n && !bad; ++i) {
    const uint16_t word = words[i % words.size()];
    std::size_t space = 0;
    uint8_t* at = inbox.Reserve(&space);
    if (at == nullptr) std::abort();
    std::size_t chunk = 1 + (word & 0x7FFF);
    if (chunk > n - offset) chunk = n - offset;
    if (chunk > space) chunk = space;
    std::memcpy(at, stream + offset, chunk);
    offset += chunk;
    bad = !inbox.Frame(chunk, [](uint8_t*, std::size_t) {});
    published += inbox.Publish();
    deliver((word & 0x8000) != 0);
    inbox.Trim();
  }
  // Whatever one-message runs left behind.
  deliver(false);
  if (seen != ref.messages.size() || published != seen || bad != ref.bad) std::abort();
  if (inbox.Messages() != 0) std::abort();
  return 0;
}
