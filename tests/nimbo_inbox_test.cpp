// The inbox companion: a worker that takes its events itself (as the
// client does in both delivery modes) gets the connection's story in
// order: the report of it coming up, runs of whole messages in stream
// order, then after the last message the report of its end with the
// reason. A full inbox stops reading until the worker takes from it, and
// nothing is lost.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "inbox.h"
#include "nimbo2/framer.h"
#include "nimbo2/tcp_client_socks5.h"
#include "support/loopback_server.h"

namespace kelvo {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;

// Takes whatever InboxReady announces when `takeAtOnce`, else only when the
// test calls TakeAll (a pump-mode host that pumps late). One letter per
// event: 'C' connected, 'm' message, 'N' a note, 'E' the end's state.
class TakingWorker final : public RecordingWorker, public Nimbo2::InboxWorker {
 public:
  explicit TakingWorker(bool takeAtOnce) : takeAtOnce_(takeAtOnce) {}
  Nimbo2::TCPClient_Socks5* client = nullptr;

  void InboxReady() override {
    ready_.fetch_add(1);
    if (takeAtOnce_) TakeAll();
  }
  // Runs everything waiting; returns the messages taken.
  std::size_t TakeAll() {
    std::lock_guard<std::mutex> lock(deliver_);
    std::size_t messages = 0;
    Nimbo2::InboxItem item;
    while (client->Take(&item)) {
      if (item.kind == Nimbo2::InboxItem::kMessages) {
        std::size_t pos = 0;
        uint32_t n = 0;
        while (pos < item.bytes) {
          const std::size_t length =
              static_cast<std::size_t>(item.data[pos] | (item.data[pos + 1] << 8)) & 0x7FFF;
          payload_.insert(payload_.end(), item.data + pos, item.data + pos + length);
          pos += length;
          ++n;
          Add('m');
        }
        messages += n;
        client->Done(item, pos, n);
        continue;
      }
      if (item.hasNote) Add('N');
      Add(item.kind == Nimbo2::InboxItem::kConnected ? 'C' : 'E');
      client->DoneReport(item);
    }
    return messages;
  }
  std::string Trace() {
    std::lock_guard<std::mutex> lock(mu_);
    return trace_;
  }
  ByteVec Payload() {
    std::lock_guard<std::mutex> lock(deliver_);
    return payload_;
  }
  int Readies() const { return ready_.load(); }

 private:
  void Add(char c) {
    std::lock_guard<std::mutex> lock(mu_);
    trace_ += c;
  }
  const bool takeAtOnce_;
  std::atomic<int> ready_{0};
  std::mutex deliver_;  // the worker's own lock: one deliverer at a time
  ByteVec payload_;
  std::mutex mu_;
  std::string trace_;
};

bool Until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(NimboInbox, ReportsFrameTheMessagesInStreamOrderAndNothingGoesToTheClassicSlots) {
  LoopbackServer server;
  TakingWorker worker(true);
  Nimbo2::TCPClient_Socks5 client(&worker);
  worker.client = &client;
  client.SetInboxWorker(&worker);
  ASSERT_TRUE(client.Connect(server.Address()));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(Until([&] { return worker.Trace() == "C"; }));
  ByteVec stream;
  for (int i = 0; i < 2000; ++i) {
    const ByteVec m = Frame(static_cast<uint16_t>(4 + i % 300), 61, static_cast<uint8_t>(i));
    stream.insert(stream.end(), m.begin(), m.end());
  }
  // Two writes, one message cut in half across them, then the end.
  const std::size_t cut = stream.size() / 2 + 5;
  ASSERT_TRUE(server.Send(stream.data(), cut));
  ASSERT_TRUE(server.Send(stream.data() + cut, stream.size() - cut));
  server.Close();
  ASSERT_TRUE(Until([&] { return !worker.Trace().empty() && worker.Trace().back() == 'E'; }));
  EXPECT_EQ(worker.Trace(), "C" + std::string(2000, 'm') + "NE");
  EXPECT_TRUE(worker.Payload() == stream);
  EXPECT_EQ(worker.MessageCount(), 0u) << "HandleMessage was called beside the inbox";
  EXPECT_TRUE(worker.States().empty());
  EXPECT_FALSE(client.HasConnection()) << "the end was taken: nothing remains";
  // Many messages per announcement: far fewer than one call per message.
  EXPECT_LT(worker.Readies(), 200);
}

TEST(NimboInbox, AFullInboxStopsReadingAndTakingResumesItWithNothingLost) {
  LoopbackServer server;
  TakingWorker worker(false);
  Nimbo2::TCPClient_Socks5 client(&worker);
  worker.client = &client;
  client.SetInboxWorker(&worker);
  client.SetInboxLimit(64 * 1024);
  ASSERT_TRUE(client.Connect(server.Address()));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(Until([&] { return client.PendingEvents() == 1; }));
  // Far more than the limit and the socket buffers: the server's writes
  // block until the worker takes.
  ByteVec stream;
  for (int i = 0; i < 200000; ++i) {
    const ByteVec m = Frame(100, 9, static_cast<uint8_t>(i));
    stream.insert(stream.end(), m.begin(), m.end());
  }
  std::atomic<bool> written{false};
  std::thread writer([&] {
    written = server.Send(stream);
  });
  // Held back: the client stops at its limit (plus the read under way).
  ASSERT_TRUE(Until([&] { return client.BytesReceived() >= 64 * 1024; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LT(client.BytesReceived(), 64 * 1024 + Nimbo2::Framer::kCapacity);
  EXPECT_FALSE(written.load());
  std::size_t taken = 0;
  ASSERT_TRUE(Until([&] {
    taken += worker.TakeAll();
    return taken == 200000;
  }, std::chrono::seconds(30)));
  writer.join();
  EXPECT_TRUE(written.load());
  EXPECT_TRUE(worker.Payload() == stream) << "bytes lost or reordered across the pause";
}

TEST(NimboInbox, ALimitTooSmallForTwoLongMessagesStillPassesThem) {
  // Reading resumes once half the limit is free: a limit below two of the
  // longest message would stop for good on a partial one that fills half.
  LoopbackServer server;
  TakingWorker worker(false);
  Nimbo2::TCPClient_Socks5 client(&worker);
  worker.client = &client;
  client.SetInboxWorker(&worker);
  client.SetInboxLimit(16 * 1024);
  ASSERT_TRUE(client.Connect(server.Address()));
  ASSERT_TRUE(server.Accept());
  ByteVec stream;
  for (int i = 0; i < 8; ++i) {
    const ByteVec m = Frame(20000, 9, static_cast<uint8_t>(i));
    stream.insert(stream.end(), m.begin(), m.end());
  }
  ASSERT_TRUE(server.Send(stream));
  std::size_t taken = 0;
  ASSERT_TRUE(Until([&] {
    taken += worker.TakeAll();
    return taken == 8;
  })) << taken << " of 8 long messages";
  EXPECT_TRUE(worker.Payload() == stream);
}

// The inbox's memory: segments delivered while a stream goes on are kept
// for the next reads (a deliverer that lags some reads behind does not make
// every read allocate, nor does the memory grow past what was in use at
// once), and everything is given back once the stream pauses.
TEST(NimboInbox, SegmentsAreKeptWhileAStreamLastsAndAllGoWhenItPauses) {
  Nimbo2::Inbox inbox;
  ByteVec stream;
  std::vector<std::size_t> ends;  // where each message ends
  while (stream.size() < 4u << 20) {
    const ByteVec m = Frame(13 + stream.size() % 200, 9, static_cast<uint8_t>(stream.size()));
    stream.insert(stream.end(), m.begin(), m.end());
    ends.push_back(stream.size());
  }
  std::size_t fed = 0;
  uint32_t messages = 0;
  // Reads that fill their room; the deliverer takes everything after every
  // third read only.
  auto read = [&](std::size_t most) {
    std::size_t space = 0;
    uint8_t* at = inbox.Reserve(&space);
    EXPECT_NE(at, nullptr);
    const std::size_t n = std::min({space, most, stream.size() - fed});
    std::memcpy(at, stream.data() + fed, n);
    fed += n;
    EXPECT_TRUE(inbox.Frame(n, [](uint8_t*, std::size_t) {}));
    messages += inbox.Publish();
  };
  auto takeAll = [&] {
    uint8_t* run;
    std::size_t bytes;
    while (inbox.Peek(&run, &bytes)) {
      uint32_t n = 0;
      for (std::size_t pos = 0; pos < bytes; pos += (run[pos] | (run[pos + 1] << 8)) & 0x7FFF) ++n;
      inbox.Consume(bytes, n);
      messages -= n;
    }
    inbox.Trim();
  };
  std::size_t peak = 0;
  for (int i = 1; i <= 12; ++i) {
    read(SIZE_MAX);
    if (i % 3 == 0) takeAll();
    peak = std::max(peak, inbox.AllocatedBytes());
  }
  for (int i = 1; i <= 30; ++i) {
    read(SIZE_MAX);
    if (i % 3 == 0) takeAll();
    EXPECT_LE(inbox.AllocatedBytes(), peak) << "read " << i;
  }
  // The stream pauses after a whole message: a read that does not fill
  // its room, and everything taken.
  read(*std::upper_bound(ends.begin(), ends.end(), fed) - fed);
  takeAll();
  EXPECT_EQ(messages, 0u);
  EXPECT_EQ(inbox.AllocatedBytes(), 0u) << "an idle connection holds no buffer";
}

}  // namespace
}  // namespace test
}  // namespace kelvo
