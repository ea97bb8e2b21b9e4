// A connection's inbox driven the way the engine drives it, against a
// straightforward parse of the same stream. The producer reserves, writes
// an input-chosen read into the room (cut to what the held-bytes limit
// leaves), frames and publishes, and stops reading at the limit until the
// consumer has taken the inbox down to half of it. The consumer peeks a
// run, may hold it while the producer goes on, and takes an input-chosen
// number of its messages (writing into them, as handlers do), then trims.
// Checked at every step: the same messages byte for byte in order, none
// lost or repeated, a held run left untouched until it is consumed,
// HeldBytes and Messages equal to what was published minus what was taken,
// Peek finding a run exactly when Messages is non-zero, the read room as
// large as promised, the framing error at the same read as the parse finds
// it, no stall with a limit of at least two largest partial messages, and
// no memory kept once an idle connection has delivered everything. ASan
// catches a read or write outside the segments.
// Input: [limit word u16 LE][n][n ops of 4 bytes][records of 3 bytes]. An
// op is [read word u16 LE][moves][take]; a record [u16 LE length word][fill]
// makes one message of that length (a length word below 4 gives a framing
// error there).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "inbox.h"

namespace {

using Nimbo2::Framer;
using Nimbo2::Inbox;

constexpr std::size_t kMaxStream = 256 * 1024;
// At the limit the producer stops; it goes on when the inbox is down to
// half. With only a partial message left that is at most kMaxLength - 1
// bytes, so from this limit on reading always resumes.
constexpr std::size_t kLiveLimit = 2 * (Framer::kMaxLength - 1);

struct Op {
  uint16_t read;
  uint8_t moves;
  uint8_t take;
};

struct Message {
  std::size_t offset;
  std::size_t length;
};

class Driver {
 public:
  Driver(const std::vector<uint8_t>& stream, std::size_t limit) : stream_(stream), limit_(limit) {
    // The reference parse.
    std::size_t pos = 0;
    while (stream_.size() - pos >= 2) {
      const std::size_t length = Length(stream_.data() + pos);
      if (length < Framer::kMinLength) {
        bad_ = true;
        badAt_ = pos;
        break;
      }
      if (stream_.size() - pos < length) break;
      messages_.push_back({pos, length});
      pos += length;
    }
  }

  // One round of the producer (unless it is paused or done), with consumer
  // moves where `op` puts them.
  void Step(const Op& op) {
    if (paused_ || broken_ || offset_ == stream_.size()) {
      for (int i = 0; i < 1 + (op.moves & 3); ++i) ConsumerMove(op.take);
      return;
    }
    std::size_t want = op.read & 0x3FFF;
    if (op.read & 0x4000) want *= 16;
    Produce(want, (op.read & 0x8000) != 0, (op.moves & 4) != 0, op.take);
    for (int i = 0; i < (op.moves & 3); ++i) ConsumerMove(op.take);
  }

  // Reads as much as it may and takes everything, until neither side can
  // move. False when the stream stalled before its end.
  bool Finish() {
    for (;;) {
      bool moved = false;
      if (!paused_ && !broken_ && offset_ < stream_.size()) {
        Produce(stream_.size(), false, false, 0xFF);
        moved = true;
      }
      moved |= ConsumerMove(0xFF);
      if (!moved) break;
    }
    if (!broken_ && offset_ < stream_.size()) {
      // Paused with nothing to deliver: only below kLiveLimit may that be.
      if (!paused_ || limit_ >= kLiveLimit) std::abort();
      return false;
    }
    return true;
  }

  void CheckEnd() {
    if (delivered_ != messages_.size() || inbox_.Messages() != 0 || broken_ != bad_) std::abort();
    const std::size_t framedEnd =
        messages_.empty() ? 0 : messages_.back().offset + messages_.back().length;
    if (inbox_.HeldBytes() != offset_ - framedEnd) std::abort();
    if (broken_) return;
    // The socket drained (a read finds nothing) and all is delivered: an
    // idle connection keeps no memory.
    std::size_t space = 0;
    if (inbox_.Reserve(&space) == nullptr) std::abort();
    if (!inbox_.Frame(0, [](uint8_t*, std::size_t) { std::abort(); })) std::abort();
    if (inbox_.Publish() != 0) std::abort();
    inbox_.Trim();
    if (inbox_.HeldBytes() == 0 && inbox_.AllocatedBytes() != 0) std::abort();
  }

 private:
  static std::size_t Length(const uint8_t* at) {
    return static_cast<std::size_t>(at[0] | (at[1] << 8)) & Framer::kMaxLength;
  }

  bool Equal(const uint8_t* at, std::size_t index) const {
    const Message& m = messages_[index];
    return std::memcmp(at, stream_.data() + m.offset, m.length) == 0;
  }

  void CheckCounts() const {
    if (inbox_.HeldBytes() != publishedBytes_ - takenBytes_) std::abort();
    if (inbox_.Messages() != published_ - delivered_) std::abort();
  }

  void Produce(std::size_t want, bool moveBeforeWrite, bool moveBeforePublish, uint8_t take) {
    std::size_t space = 0;
    uint8_t* const at = inbox_.Reserve(&space);
    if (at == nullptr) std::abort();
    // The promised room: kMinRead, and the rest of an announced message.
    const std::size_t partial = offset_ - framedEnd_;
    std::size_t need = Inbox::kMinRead;
    if (partial >= 2) {
      const std::size_t length = Length(stream_.data() + framedEnd_);
      if (length - partial > need) need = length - partial;
    }
    if (space < need) std::abort();
    // The engine's rule: no read takes the inbox past its limit.
    const std::size_t held = inbox_.HeldBytes();
    const std::size_t room = limit_ - (held < limit_ ? held : limit_);
    if (space > room) space = room > 0 ? room : 1;
    std::size_t n = want < space ? want : space;
    if (n > stream_.size() - offset_) n = stream_.size() - offset_;
    // The consumer runs meanwhile: it must neither see nor touch the room.
    if (moveBeforeWrite) ConsumerMove(take);
    std::memcpy(at, stream_.data() + offset_, n);
    offset_ += n;
    uint32_t found = 0;
    const bool whole = inbox_.Frame(n, [&](uint8_t* message, std::size_t length) {
      const std::size_t index = framed_ + found;
      if (index >= messages_.size() || messages_[index].length != length ||
          !Equal(message, index)) {
        std::abort();
      }
      ++found;
    });
    if (moveBeforePublish) ConsumerMove(take);
    CheckCounts();
    if (inbox_.Publish() != found) std::abort();
    framed_ += found;
    published_ += found;
    publishedBytes_ += n;
    if (found != 0) framedEnd_ = messages_[framed_ - 1].offset + messages_[framed_ - 1].length;
    // The framing error comes with the first read that holds the bad
    // header, after every message before it.
    const bool due = bad_ && offset_ >= badAt_ + 2;
    if (whole == due) std::abort();
    if (!whole) {
      if (framed_ != messages_.size()) std::abort();
      broken_ = true;
    }
    if (!paused_ && inbox_.HeldBytes() >= limit_) paused_ = true;
    CheckCounts();
  }

  // Peeks a run when none is held, then takes `take` of its messages (all
  // for 0xFF) or, with bit 7, keeps holding it for a later move. True when
  // it peeked, took or resumed the producer.
  bool ConsumerMove(uint8_t take) {
    bool moved = false;
    if (!holding_) {
      const bool found = inbox_.Peek(&run_, &runBytes_);
      if (found != (inbox_.Messages() != 0)) std::abort();
      if (found) {
        runCount_ = CheckRun();
        holding_ = moved = true;
        // Held across the producer's next steps, or taken at once.
        if ((take & 0x80) && take != 0xFF) return true;
      }
    }
    std::size_t bytes = 0;
    uint32_t count = 0;
    if (holding_) {
      // The producer may have run since the Peek: the run is as it was.
      if (CheckRun() != runCount_) std::abort();
      std::size_t wanted = take == 0xFF ? runCount_ : (take & 0x7F) % (runCount_ + 1);
      for (; count < wanted; ++count) {
        const std::size_t length = messages_[delivered_ + count].length;
        run_[bytes + length - 1] ^= 0xA5;  // a handler writing into its message
        bytes += length;
      }
      holding_ = false;
      moved = moved || count != 0;
    }
    // As the engine's ConsumeLocked: consume, trim, resume at half.
    if (bytes != 0) inbox_.Consume(bytes, count);
    inbox_.Trim();
    delivered_ += count;
    takenBytes_ += bytes;
    if (paused_ && inbox_.HeldBytes() <= limit_ / 2) {
      paused_ = false;
      moved = true;
    }
    CheckCounts();
    return moved;
  }

  // The run holds the next whole messages, published ones only, end to end.
  uint32_t CheckRun() const {
    if (runBytes_ == 0) std::abort();
    std::size_t used = 0;
    uint32_t count = 0;
    while (used < runBytes_) {
      const std::size_t index = delivered_ + count;
      if (index >= published_ || runBytes_ - used < messages_[index].length ||
          !Equal(run_ + used, index)) {
        std::abort();
      }
      used += messages_[index].length;
      ++count;
    }
    return count;
  }

  const std::vector<uint8_t>& stream_;
  const std::size_t limit_;
  std::vector<Message> messages_;
  bool bad_ = false;
  std::size_t badAt_ = 0;

  Inbox inbox_;
  std::size_t offset_ = 0;          // stream bytes read
  std::size_t framed_ = 0;          // messages framed
  std::size_t framedEnd_ = 0;       // stream offset after the last of them
  std::size_t published_ = 0;       // messages published
  std::size_t publishedBytes_ = 0;  // bytes published
  std::size_t delivered_ = 0;       // messages taken
  std::size_t takenBytes_ = 0;
  bool paused_ = false;
  bool broken_ = false;
  bool holding_ = false;
  uint8_t* run_ = nullptr;
  std::size_t runBytes_ = 0;
  uint32_t runCount_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // Limits from 1 byte (every read pauses) to the engine's default.
  const std::size_t word = static_cast<std::size_t>(data[0] | (data[1] << 8));
  const std::size_t v = word & 0x3FFF;
  std::size_t limit;
  switch (word >> 14) {
    case 0: limit = 1 + v; break;
    case 1: limit = 16385 + v * 3; break;
    case 2: limit = kLiveLimit + v * 4; break;
    default: limit = std::size_t{1} << 20; break;
  }
  std::size_t pos = 3;
  std::vector<Op> ops;
  for (std::size_t i = 0; i < data[2] && size - pos >= 4; ++i, pos += 4) {
    ops.push_back({static_cast<uint16_t>(data[pos] | (data[pos + 1] << 8)), data[pos + 2],
                   data[pos + 3]});
  }
  if (ops.empty()) ops.push_back({0x3FFF, 1, 0xFF});

  // Bodies are cut from one pseudo-random text at a place that depends on
  // the message's number and fill byte, so that no two look alike.
  static const std::vector<uint8_t> text = [] {
    std::vector<uint8_t> t(2 * Framer::kMaxLength);
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<uint8_t>((i * 2654435761u) >> 11);
    return t;
  }();
  std::vector<uint8_t> stream;
  stream.reserve(kMaxStream + Framer::kMaxLength);
  for (std::size_t m = 0; size - pos >= 3 && stream.size() < kMaxStream; ++m, pos += 3) {
    const std::size_t length = static_cast<std::size_t>(data[pos] | (data[pos + 1] << 8)) &
                               Framer::kMaxLength;
    stream.push_back(data[pos]);
    stream.push_back(data[pos + 1]);
    const std::size_t body = length >= 4 ? length - 2 : 2;
    const uint8_t* from = text.data() + (m * 257 + data[pos + 2] * 131) % Framer::kMaxLength;
    stream.insert(stream.end(), from, from + body);
  }
  // A trailing byte or two: a header cut short.
  for (; pos < size; ++pos) stream.push_back(data[pos]);
  if (stream.size() > kMaxStream) stream.resize(kMaxStream);

  Driver driver(stream, limit);
  const std::size_t steps = 4 * ops.size() + 256;
  for (std::size_t i = 0; i < steps; ++i) driver.Step(ops[i % ops.size()]);
  if (driver.Finish()) driver.CheckEnd();
  return 0;
}
