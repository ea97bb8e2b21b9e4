// The stream framer on its own: bytes in, whole messages out, whatever the
// read boundaries.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "nimbo2/framer.h"
#include "support/loopback_server.h"

namespace kelvo {
namespace test {
namespace {

using Nimbo2::Framer;

ByteVec Concat(const std::vector<ByteVec>& messages) {
  ByteVec all;
  for (const ByteVec& m : messages) all.insert(all.end(), m.begin(), m.end());
  return all;
}

ByteVec Prefix(ByteVec bytes, std::size_t n) {
  bytes.resize(n);
  return bytes;
}

// Feeds `stream` in reads of the sizes `nextRead` returns and collects what
// comes out.
struct Outcome {
  std::vector<ByteVec> messages;
  Framer::Status status = Framer::Status::kDrained;
  std::size_t buffered = 0;
};

template <typename NextRead>
Outcome FeedInReads(const ByteVec& stream, NextRead nextRead) {
  Framer framer;
  Outcome out;
  std::size_t pos = 0;
  auto collect = [&](uint8_t* m, std::size_t n) {
    out.messages.emplace_back(m, m + n);
    return true;
  };
  while (pos < stream.size() && out.status == Framer::Status::kDrained) {
    std::size_t n = nextRead();
    n = std::min({n, stream.size() - pos, framer.ReadSpace()});
    EXPECT_GT(framer.ReadSpace(), 0u);
    std::copy(stream.begin() + pos, stream.begin() + pos + n, framer.ReadPtr());
    framer.Commit(n);
    pos += n;
    out.status = framer.Drain(collect);
  }
  out.buffered = framer.Buffered();
  return out;
}

std::vector<ByteVec> Mixed() {
  return {Frame(4, 1), Frame(13, 2, 7), Frame(0x7FFF, 3, 9), Frame(5, 4, 0, true),
          Frame(1000, 5, 3), Frame(0x7FFF, 6, 1, true), Frame(4, 7)};
}

TEST(NimboFramer, DeliversTheSameMessagesWhateverTheReadBoundaries) {
  const std::vector<ByteVec> messages = Mixed();
  const ByteVec stream = Concat(messages);
  std::mt19937 rng(12345);
  struct Row {
    const char* name;
    std::function<std::size_t()> nextRead;
  } rows[] = {
      {"whole stream at once", [] { return std::size_t{1} << 30; }},
      {"byte by byte", [] { return std::size_t{1}; }},
      {"three bytes", [] { return std::size_t{3}; }},
      {"random splits", [&] { return std::size_t{1} + rng() % 5000; }},
      {"full read chunks", [] { return Framer::kReadChunk; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome out = FeedInReads(stream, row.nextRead);
    EXPECT_EQ(out.status, Framer::Status::kDrained);
    EXPECT_EQ(out.messages, messages);
    EXPECT_EQ(out.buffered, 0u);
  }
}

TEST(NimboFramer, ManyMessagesInOneRead) {
  std::vector<ByteVec> messages;
  for (int i = 0; i < 5000; ++i) messages.push_back(Frame(13, static_cast<uint8_t>(i), 1));
  const ByteVec stream = Concat(messages);  // 65000 bytes: one read
  ASSERT_LE(stream.size(), Framer::kReadChunk);
  const Outcome out = FeedInReads(stream, [] { return Framer::kReadChunk; });
  EXPECT_EQ(out.messages, messages);
}

TEST(NimboFramer, LengthWordRules) {
  struct Row {
    const char* name;
    ByteVec stream;
    Framer::Status status;
    std::size_t delivered;
    std::size_t buffered;
  } rows[] = {
      {"bit 15 is a flag, not length", Frame(6, 1, 0, true), Framer::Status::kDrained, 1, 0},
      {"length 0x7FFF is the largest", Frame(0x7FFF, 1), Framer::Status::kDrained, 1, 0},
      {"length 3 breaks the stream", {3, 0, 0x2C}, Framer::Status::kBadLength, 0, 3},
      {"length 0 breaks the stream", {0, 0, 0, 0}, Framer::Status::kBadLength, 0, 4},
      {"0x8000 is length 0", {0x00, 0x80, 0x2C, 1}, Framer::Status::kBadLength, 0, 4},
      {"good messages before a bad one still come out",
       Concat({Frame(4, 1), Frame(8, 2), {2, 0}}), Framer::Status::kBadLength, 2, 2},
      {"a lone length byte waits", {9}, Framer::Status::kDrained, 0, 1},
      {"a partial message waits", Prefix(Frame(40, 1), 39), Framer::Status::kDrained, 0, 39},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome out = FeedInReads(row.stream, [] { return std::size_t{7}; });
    EXPECT_EQ(out.status, row.status);
    EXPECT_EQ(out.messages.size(), row.delivered);
    EXPECT_EQ(out.buffered, row.buffered);
  }
}

TEST(NimboFramer, BadLengthIsStickyAndResetRecovers) {
  Framer framer;
  int count = 0;
  auto counter = [&](uint8_t*, std::size_t) { return ++count, true; };
  const ByteVec bad = {1, 0, 0, 0};
  EXPECT_EQ(framer.Feed(bad.data(), bad.size(), counter), Framer::Status::kBadLength);
  const ByteVec good = Frame(4, 1);
  EXPECT_EQ(framer.Feed(good.data(), good.size(), counter), Framer::Status::kBadLength);
  EXPECT_EQ(count, 0);
  framer.Reset();
  EXPECT_EQ(framer.Feed(good.data(), good.size(), counter), Framer::Status::kDrained);
  EXPECT_EQ(count, 1);
}

TEST(NimboFramer, StopKeepsTheRestAndHandsItOutLater) {
  const std::vector<ByteVec> messages = {Frame(4, 1), Frame(5, 2), Frame(6, 3)};
  const ByteVec stream = Concat(messages);
  Framer framer;
  std::vector<ByteVec> got;
  auto firstOnly = [&](uint8_t* m, std::size_t n) {
    got.emplace_back(m, m + n);
    return false;
  };
  EXPECT_EQ(framer.Feed(stream.data(), stream.size(), firstOnly), Framer::Status::kStopped);
  EXPECT_EQ(got.size(), 1u);
  EXPECT_EQ(framer.Buffered(), 11u);
  auto all = [&](uint8_t* m, std::size_t n) {
    got.emplace_back(m, m + n);
    return true;
  };
  EXPECT_EQ(framer.Drain(all), Framer::Status::kDrained);
  EXPECT_EQ(got, messages);
}

TEST(NimboFramer, HandsOutWritableBuffersOfExactlyTheMessage) {
  // The handler may write anywhere in its L bytes; that must not disturb the
  // next message in the buffer.
  const std::vector<ByteVec> messages = {Frame(9, 1, 1), Frame(9, 2, 2)};
  const ByteVec stream = Concat(messages);
  Framer framer;
  std::vector<ByteVec> got;
  framer.Feed(stream.data(), stream.size(), [&](uint8_t* m, std::size_t n) {
    got.emplace_back(m, m + n);
    std::fill(m + 4, m + n, 0xEE);
    return true;
  });
  EXPECT_EQ(got, messages);
}

TEST(NimboFramer, ReadSpaceStaysAtLeastOneChunkAfterEveryDrain) {
  // A stream of maximal messages in random-size reads leaves leftovers of up
  // to 0x7FFE bytes; a full chunk must still fit after each drain.
  const ByteVec big = Frame(0x7FFF, 1);
  std::mt19937 rng(7);
  Framer framer;
  std::size_t streamPos = 0;
  std::size_t delivered = 0;
  for (int round = 0; round < 300; ++round) {
    ASSERT_GE(framer.ReadSpace(), Framer::kReadChunk);
    const std::size_t n = 1 + rng() % framer.ReadSpace();
    for (std::size_t i = 0; i < n; ++i) framer.ReadPtr()[i] = big[(streamPos + i) % big.size()];
    streamPos += n;
    framer.Commit(n);
    ASSERT_EQ(framer.Drain([&](uint8_t* m, std::size_t len) {
      EXPECT_EQ(ByteVec(m, m + len), big);
      ++delivered;
      return true;
    }),
              Framer::Status::kDrained);
  }
  EXPECT_EQ(delivered, streamPos / big.size());
}

}  // namespace
}  // namespace test
}  // namespace kelvo
