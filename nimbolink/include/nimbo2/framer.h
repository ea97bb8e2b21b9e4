// Framer: turns an inbound byte stream into whole messages. It does no I/O:
// the caller reads straight into ReadPtr()/ReadSpace(), Commit()s the count
// and Drain()s the messages that are now complete.
//
// A message is L bytes, L = (LE u16 at offset 0) & 0x7FFF; bit 15 belongs to
// the header's flags, not to the length. L < 4 cannot even hold a header, so
// the stream is unusable from there on (kBadLength, sticky).
//
// The buffer is allocated once. Whole messages are handed out in place (a
// writable pointer into the buffer holding exactly L bytes) and the leftover
// partial message is moved to the front once per Drain, never per message.
// Because a partial message is shorter than 0x8000 bytes, at least
// kReadChunk bytes are free for the next read after every full Drain.
#ifndef NIMBO2_FRAMER_H_
#define NIMBO2_FRAMER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace Nimbo2 {

class Framer {
 public:
  static constexpr std::size_t kReadChunk = 64 * 1024;
  static constexpr std::size_t kMinLength = 4;
  static constexpr std::size_t kMaxLength = 0x7FFF;
  static constexpr std::size_t kCapacity = kReadChunk + kMaxLength + 1;

  enum class Status {
    kDrained,    // every whole message was handed out
    kStopped,    // the callback asked to stop; the rest stays buffered
    kBadLength,  // a header announced L < 4; nothing more will come out
  };

  Framer();
  Framer(const Framer&) = delete;
  Framer& operator=(const Framer&) = delete;

  // Where the next read goes and how much fits there (never 0 after a
  // kDrained Drain).
  uint8_t* ReadPtr() { return buf_.get() + end_; }
  std::size_t ReadSpace() const { return kCapacity - end_; }
  // Accepts `n` bytes just written at ReadPtr(); n <= ReadSpace().
  void Commit(std::size_t n);

  // Calls onMessage(uint8_t* message, std::size_t length) for each whole
  // message in stream order. onMessage returns true to go on. The pointer is
  // valid until the next Commit/Drain/Reset or the framer's destruction.
  template <typename OnMessage>
  Status Drain(OnMessage&& onMessage);

  // Copies `data` in as many reads as it takes and drains after each, as a
  // socket would. For tests, tools and fuzzing.
  template <typename OnMessage>
  Status Feed(const void* data, std::size_t n, OnMessage&& onMessage);

  // Bytes held that do not yet form a whole message (or were not handed out
  // after kStopped).
  std::size_t Buffered() const { return end_ - begin_; }
  bool Broken() const { return broken_; }
  void Reset();

 private:
  void Compact();

  std::unique_ptr<uint8_t[]> buf_;
  std::size_t begin_ = 0;  // first byte not yet handed out
  std::size_t end_ = 0;    // one past the last byte read
  bool broken_ = false;
};

template <typename OnMessage>
Framer::Status Framer::Drain(OnMessage&& onMessage) {
  if (broken_) return Status::kBadLength;
  Status status = Status::kDrained;
  uint8_t* const base = buf_.get();
  std::size_t pos = begin_;
  while (end_ - pos >= 2) {
    const std::size_t length =
        static_cast<std::size_t>(base[pos] | (base[pos + 1] << 8)) & kMaxLength;
    if (length < kMinLength) {
      broken_ = true;
      status = Status::kBadLength;
      break;
    }
    if (end_ - pos < length) break;
    uint8_t* const message = base + pos;
    pos += length;
    if (!onMessage(message, length)) {
      status = Status::kStopped;
      break;
    }
  }
  begin_ = pos;
  // The callback's buffer may be reused only now, after it has returned.
  if (status == Status::kDrained) Compact();
  return status;
}

template <typename OnMessage>
Framer::Status Framer::Feed(const void* data, std::size_t n, OnMessage&& onMessage) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  Status status = Drain(onMessage);
  while (n > 0 && status == Status::kDrained) {
    const std::size_t take = n < ReadSpace() ? n : ReadSpace();
    std::memcpy(ReadPtr(), in, take);
    Commit(take);
    in += take;
    n -= take;
    status = Drain(onMessage);
  }
  return status;
}

}  // namespace Nimbo2

#endif  // NIMBO2_FRAMER_H_
