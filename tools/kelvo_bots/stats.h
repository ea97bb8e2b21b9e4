// What the bots count while they run: counters that callbacks on any thread
// may bump, a latency histogram, and failures grouped by their reason.
#ifndef KELVO_TOOLS_KELVO_BOTS_STATS_H_
#define KELVO_TOOLS_KELVO_BOTS_STATS_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace kelvo_bots {

// Latencies in microseconds: exact below 32 us, above that 32 buckets per
// power of two (each at most about 3% wide). Add is lock-free, so the
// callbacks of thousands of clients can record without taking turns.
class LatencyHistogram {
 public:
  void Add(uint64_t micros);
  uint64_t Count() const;
  uint64_t Max() const { return max_.load(std::memory_order_relaxed); }
  // The value at quantile q (0 < q <= 1), by nearest rank: the middle of
  // its bucket, never above the largest value seen; the largest value
  // itself for the last rank. 0 when nothing was recorded.
  uint64_t Quantile(double q) const;

 private:
  static constexpr int kSubBits = 5;
  static constexpr int kBuckets = (64 - kSubBits + 1) << kSubBits;
  static int Index(uint64_t v);
  static uint64_t Middle(int index);

  std::array<std::atomic<uint64_t>, kBuckets> buckets_{};
  std::atomic<uint64_t> max_{0};
};

struct Counters {
  std::atomic<uint64_t> started{0};     // Connect called
  std::atomic<uint64_t> connected{0};   // OnConnect(1)
  std::atomic<uint64_t> loggedIn{0};    // logged in now
  std::atomic<uint64_t> loggedInEver{0};
  std::atomic<uint64_t> failed{0};      // bots that failed, each counted once
  std::atomic<uint64_t> settled{0};     // bots past their login, either way
  std::atomic<uint64_t> pingsSent{0};
  std::atomic<uint64_t> pingsReceived{0};
  std::atomic<uint64_t> answersSent{0};
  std::atomic<uint64_t> answersReceived{0};
  std::atomic<uint64_t> otherReceived{0};  // chats and notices that are not the bots'
  std::atomic<uint64_t> sendRefused{0};    // SendChatMessage returned false
  std::atomic<uint64_t> diagnostics{0};    // OnLog lines that explain no failure
  // --reconnect: connections lost and left to the module to win back, its
  // attempts that failed meanwhile, and the logins it made again.
  std::atomic<uint64_t> losses{0};
  std::atomic<uint64_t> reconnectFailures{0};
  std::atomic<uint64_t> relogins{0};
  // Steady-clock nanoseconds of the latest login, for the time until all
  // were in.
  std::atomic<int64_t> lastLoginNs{0};

  uint64_t ChatsSent() const { return pingsSent + answersSent; }
  uint64_t ChatsReceived() const { return pingsReceived + answersReceived; }
};

class FailureTable {
 public:
  void Add(const std::string& reason);
  std::map<std::string, uint64_t> Snapshot() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, uint64_t> counts_;
};

// This process as /proc/self tells it.
struct ProcessReading {
  long threads = 0;
  long descriptors = 0;
  long rssKib = 0;
};
ProcessReading ReadProcess();
long CountDescriptors();

// `text` as a JSON string, quotes included (the summaries' --json).
std::string JsonString(const std::string& text);

}  // namespace kelvo_bots

#endif  // KELVO_TOOLS_KELVO_BOTS_STATS_H_
