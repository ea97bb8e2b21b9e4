// The churn soak's rules (churn.h runs it): what each cycle does, drawn from
// a seed, and what a connection may tell its host and in which order.
#ifndef KELVO_TOOLS_KELVO_BOTS_CHURN_CHECK_H_
#define KELVO_TOOLS_KELVO_BOTS_CHURN_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo_bots {

// Where a cycle's client runs: its own network thread, the shared loop,
// pump mode on its own thread (the cycle's thread pumps it), or pump mode on
// the shared loop (one thread pumps them all).
enum class ChurnMode : uint8_t { kOwn, kShared, kPump, kSharedPump };
inline constexpr std::size_t kChurnModeCount = 4;

// How a cycle ends its client: Close then Release by the host, Release by
// the host, Release inside one of the client's callbacks, or the server's
// drop (then Release).
enum class ChurnEnd : uint8_t { kClose, kRelease, kCallbackRelease, kServerDrop };
inline constexpr std::size_t kChurnEndCount = 4;

// When a host end comes: right after Connect returns, once logged in, or
// once the chats are answered (or given up on).
enum class ChurnStage : uint8_t { kConnecting, kLoggedIn, kChatted };
// Which callback releases the client in a kCallbackRelease cycle.
enum class CallbackSpot : uint8_t { kLoginResult, kChatMessage };

const char* ChurnModeName(ChurnMode mode);
const char* ChurnEndName(ChurnEnd end);
const char* ChurnStageName(ChurnStage stage);
const char* CallbackSpotName(CallbackSpot spot);
// Comma-separated names (or "all") into a list; false with *error for an
// unknown name or none at all.
bool ParseChurnModes(const std::string& text, std::vector<ChurnMode>* out, std::string* error);
bool ParseChurnEnds(const std::string& text, std::vector<ChurnEnd>* out, std::string* error);

struct CyclePlan {
  ChurnMode mode = ChurnMode::kOwn;
  ChurnEnd end = ChurnEnd::kClose;
  ChurnStage stage = ChurnStage::kChatted;  // host ends only
  CallbackSpot spot = CallbackSpot::kLoginResult;
  uint32_t chats = 1;  // chats to itself, 1 to 3
};

// Cycle n's plan is drawn from the seed and n alone: a cycle that went wrong
// runs the same way again with the same seed.
class ChurnPlan {
 public:
  ChurnPlan(uint64_t seed, std::vector<ChurnMode> modes, std::vector<ChurnEnd> ends);
  CyclePlan For(uint64_t cycle) const;
  std::string Describe(const CyclePlan& plan) const;

 private:
  uint64_t seed_;
  std::vector<ChurnMode> modes_;
  std::vector<ChurnEnd> ends_;
};

// The module's one line that explains a failed attempt or a lost connection
// ("ImServerClient: connect to A:P failed: ..." / "... connection to A:P
// lost: ..."), or another OnLog line.
bool IsReasonLine(const char* text);
// The reason of such a line, without the address: "connection reset by
// peer", "timed out after 10000 ms".
std::string ReasonText(const std::string& line);
// The same with every number as "N", for counting reasons by kind.
std::string ReasonKind(const std::string& line);

// Everything one connection tells its host, checked as it comes: exactly
// one end report (OnConnect(0) or OnClose) for a connection that ends by
// itself, right after exactly one reason line; none of either once the
// host's Close or Release has returned, and no callback at all then. Not
// thread-safe: the caller serialises (a client's callbacks never overlap,
// and the host's notes are taken under the same lock).
class ConnectionCheck {
 public:
  // Sink calls.
  void Reason(const std::string& line);
  void Connected(uint32_t state);
  void Closed();
  // Any other callback, by name ("OnLoginResult", "OnLog", ...).
  void Callback(const char* name);
  // The host's acts: Close returned; Release returned (or was called inside
  // a callback, which detaches the sink at once).
  void HostClosed();
  void Released();
  // At the cycle's end: a reason line that no end report followed.
  void Finish();

  bool connected() const { return connected_; }
  bool ended() const { return endReports_ > 0; }
  bool failedAttempt() const { return failedAttempt_; }
  int endReports() const { return endReports_; }
  int reasonLines() const { return reasonLines_; }
  // The reason line of the end report, "" when there was none.
  const std::string& endReason() const { return endReason_; }
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  bool Detached(const char* what);
  void EndReport(const char* what, const char* prefix);

  bool connected_ = false;
  bool failedAttempt_ = false;
  bool hostClosed_ = false;
  bool released_ = false;
  int endReports_ = 0;
  int reasonLines_ = 0;
  std::string pendingReason_;  // a reason line waiting for its end report
  std::string endReason_;
  std::vector<std::string> problems_;
};

}  // namespace kelvo_bots

#endif  // KELVO_TOOLS_KELVO_BOTS_CHURN_CHECK_H_
