// Chaos mode: faults the server injects on purpose, to show how a client
// copes with a connection that goes wrong in one particular way.
//
// With `--chaos SEED`, every accepted connection draws its fault (or none)
// from SEED and its ordinal (the n-th connection accepted), so the same seed
// gives the same faults in the same order, run after run; what a client
// does about them is then reproducible.
//
// A fault waits for its point in the connection's outbound stream:
//   after-login  the first message after the login answer (own data)
//   roster       the first user list message
//   chat         the first chat message forwarded to the connection
// A connection that never reaches its point (a failed login, no chat) is
// never faulted, and is not counted.
#ifndef KELVO_SERVER_CHAOS_H_
#define KELVO_SERVER_CHAOS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "messages.h"
#include "seeded_random.h"

namespace kelvo {
namespace server {

enum class ChaosKind : uint8_t {
  kReset,       // part of the message, then a reset (SO_LINGER 0 and close)
  kFin,         // part of the message, then a FIN; the server reads until the client ends
  kStall,       // the message goes out whole; from then on the client is never read again
  kDrip,        // this message and every later one one byte per write, with pauses
  kDelay,       // this message and every later one held back a while each
  kTlsNoClose,  // TLS only: a FIN before the message, with no close_notify
  kGarbage,     // bytes that are no valid message, before the message
};
inline constexpr std::size_t kChaosKindCount = 7;

enum class ChaosPoint : uint8_t { kAfterLogin, kRoster, kChat };
inline constexpr std::size_t kChaosPointCount = 3;

const char* ChaosKindName(ChaosKind kind);
const char* ChaosPointName(ChaosPoint point);

// "reset,fin,..." (names as ChaosKindName gives them, or "all") into a set
// of kinds; false with *error for an unknown name or an empty list.
bool ParseChaosKinds(const std::string& text, std::vector<ChaosKind>* out, std::string* error);

// One connection's fault, fixed when it is accepted.
struct ChaosFault {
  bool active = false;
  ChaosKind kind = ChaosKind::kReset;
  ChaosPoint point = ChaosPoint::kAfterLogin;
  uint64_t draw = 0;  // where to cut, which garbage, the drip's pause, the delays

  // reset, fin: how many bytes of a `length`-byte message go out before the
  // cut: at least 1, at most length - 1 (a whole message is no cut).
  std::size_t CutAt(std::size_t length) const;
  // drip: the pause after each byte, in microseconds (200 to 2,000).
  uint32_t DripPauseUs() const;
  // garbage: what is written in place of a valid frame.
  //   a 4-byte header announcing a length below 4 (the client cannot frame
  //   anything after it), or a whole, well-framed message of a category
  //   other than the protocol's (a client drops it and reads on).
  bool GarbageIsShortLength() const;
  Bytes Garbage() const;
  // "reset at roster" and the like, for the log.
  std::string Describe() const;
};

// delay: the hold-back before each message from the point on, 20 to 400 ms,
// the n-th of them drawn from the fault's own sequence.
class ChaosDelays {
 public:
  explicit ChaosDelays(const ChaosFault& fault) : random_(fault.draw ^ 0xD1B54A32D192ED03ull) {}
  uint32_t NextMs() { return 20 + static_cast<uint32_t>(random_.Below(381)); }

 private:
  tools::SeededRandom random_;
};

class ChaosPlan {
 public:
  // `share`: the part of the connections that get a fault (0 to 1); `kinds`
  // those to choose from (not empty). kTlsNoClose is dropped from them when
  // the server does not speak TLS.
  ChaosPlan(uint64_t seed, double share, std::vector<ChaosKind> kinds, bool tls);

  // The fault of the `ordinal`-th connection accepted (1 for the first).
  ChaosFault For(uint64_t ordinal) const;
  const std::vector<ChaosKind>& kinds() const { return kinds_; }
  uint64_t seed() const { return seed_; }
  double share() const { return share_; }

 private:
  uint64_t seed_;
  double share_;
  std::vector<ChaosKind> kinds_;
};

// Faults injected so far, by kind (counted when the point is reached and
// the fault is done, not when it is drawn).
class ChaosCounts {
 public:
  void Planned() { ++planned_; }
  void Injected(ChaosKind kind) { ++injected_[static_cast<std::size_t>(kind)]; }
  uint64_t injected(ChaosKind kind) const { return injected_[static_cast<std::size_t>(kind)]; }
  // "chaos: 12 injected of 20 planned: reset 2, fin 3, ..." with every kind.
  std::string Line() const;

 private:
  uint64_t planned_ = 0;
  std::array<uint64_t, kChaosKindCount> injected_{};
};

}  // namespace server
}  // namespace kelvo

#endif  // KELVO_SERVER_CHAOS_H_
