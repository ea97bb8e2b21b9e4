// The batch companion: every message of a read arrives between one
// BeginMessages and its EndMessages, also when the worker closes the
// connection in the middle of the batch.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "nimbo2/tcp_client_socks5.h"
#include "support/loopback_server.h"

namespace kelvo {
namespace test {
namespace {

// Records Begin/End and, through the worker's hook, each message as one
// character: '[' begin, 'm' message, ']' end. Only the message thread
// writes; the test reads after the worker has seen what it waits for.
class RecordingBatch final : public Nimbo2::BatchWorker {
 public:
  void BeginMessages() override { Add('['); }
  void EndMessages() override { Add(']'); }
  void Add(char c) {
    std::lock_guard<std::mutex> lock(mu_);
    trace_ += c;
  }
  std::string Trace() {
    std::lock_guard<std::mutex> lock(mu_);
    return trace_;
  }
  // The trace once the batch under way (if any) has ended; bounded.
  std::string SettledTrace() {
    for (int i = 0; i < 500; ++i) {
      const std::string t = Trace();
      if (!t.empty() && t.back() == ']') return t;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Trace();
  }

 private:
  std::mutex mu_;
  std::string trace_;
};

// True when `trace` is a sequence of well-formed "[m...]" groups.
bool Bracketed(const std::string& trace) {
  bool open = false;
  for (char c : trace) {
    if (c == '[') {
      if (open) return false;
      open = true;
    } else if (c == ']') {
      if (!open) return false;
      open = false;
    } else if (!open) {
      return false;
    }
  }
  return !open;
}

TEST(NimboBatch, EveryMessageArrivesInsideABatch) {
  LoopbackServer server;
  RecordingWorker worker;
  RecordingBatch batch;
  worker.keepMessages = false;
  worker.onMessage = [&](uint8_t*, uint32_t) { batch.Add('m'); };
  Nimbo2::TCPClient_Socks5 client(&worker);
  client.SetBatchWorker(&batch);
  ASSERT_TRUE(client.Connect(server.Address()));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(worker.WaitStates(1));
  ByteVec stream;
  for (int i = 0; i < 2000; ++i) {
    const ByteVec m = Frame(13, 61, static_cast<uint8_t>(i));
    stream.insert(stream.end(), m.begin(), m.end());
  }
  // Two writes: whole messages and one cut in half across them.
  const std::size_t cut = stream.size() / 2 + 5;
  ASSERT_TRUE(server.Send(stream.data(), cut));
  ASSERT_TRUE(server.Send(stream.data() + cut, stream.size() - cut));
  ASSERT_TRUE(worker.WaitMessages(2000));
  const std::string trace = batch.SettledTrace();
  client.CloseSocket(false);
  EXPECT_TRUE(Bracketed(trace)) << trace.substr(0, 200);
  EXPECT_EQ(std::count(trace.begin(), trace.end(), 'm'), 2000);
  // Many messages per batch: far fewer batches than messages.
  EXPECT_LT(std::count(trace.begin(), trace.end(), '['), 200);
}

TEST(NimboBatch, ABatchEndsWhenTheWorkerClosesInsideIt) {
  LoopbackServer server;
  RecordingWorker worker;
  RecordingBatch batch;
  Nimbo2::TCPClient_Socks5 client(&worker);
  client.SetBatchWorker(&batch);
  std::atomic<int> seen{0};
  worker.onMessage = [&](uint8_t*, uint32_t) {
    batch.Add('m');
    if (++seen == 3) client.CloseSocket(false);
  };
  ASSERT_TRUE(client.Connect(server.Address()));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(worker.WaitStates(1));
  ByteVec ten;
  for (int i = 0; i < 10; ++i) {
    const ByteVec m = Frame(20, 9, static_cast<uint8_t>(i));
    ten.insert(ten.end(), m.begin(), m.end());
  }
  ASSERT_TRUE(server.Send(ten));
  ASSERT_TRUE(server.WaitPeerClosed());
  ASSERT_TRUE(worker.WaitMessages(3));
  // The close stops the delivery at once; the batch is still closed.
  const std::string trace = batch.SettledTrace();
  EXPECT_EQ(trace.back(), ']') << trace;
  EXPECT_TRUE(Bracketed(trace)) << trace;
  EXPECT_EQ(std::count(trace.begin(), trace.end(), 'm'), 3) << trace;
}

}  // namespace
}  // namespace test
}  // namespace kelvo
