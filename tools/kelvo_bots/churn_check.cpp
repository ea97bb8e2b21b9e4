#include "churn_check.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "seeded_random.h"

namespace kelvo_bots {

namespace {

constexpr const char* kModeNames[kChurnModeCount] = {"own", "shared", "pump", "shared-pump"};
constexpr const char* kEndNames[kChurnEndCount] = {"close", "release", "callback-release",
                                                   "server"};
constexpr char kFailedPrefix[] = "ImServerClient: connect to ";
constexpr char kLostPrefix[] = "ImServerClient: connection to ";

template <typename T, std::size_t N>
bool ParseNames(const std::string& text, const char* const (&names)[N], std::vector<T>* out,
                std::string* error) {
  std::vector<T> items;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    const std::string name = text.substr(at, comma - at);
    at = comma + 1;
    if (name == "all") {
      for (std::size_t i = 0; i < N; ++i) items.push_back(static_cast<T>(i));
      continue;
    }
    std::size_t i = 0;
    while (i < N && name != names[i]) ++i;
    if (i == N) {
      std::string known;
      for (const char* n : names) known += std::string(known.empty() ? "" : ", ") + n;
      *error = "unknown name '" + name + "' (" + known + ", all)";
      return false;
    }
    items.push_back(static_cast<T>(i));
  }
  std::sort(items.begin(), items.end());
  items.erase(std::unique(items.begin(), items.end()), items.end());
  *out = std::move(items);
  return true;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

const char* ChurnModeName(ChurnMode mode) { return kModeNames[static_cast<std::size_t>(mode)]; }
const char* ChurnEndName(ChurnEnd end) { return kEndNames[static_cast<std::size_t>(end)]; }
const char* ChurnStageName(ChurnStage stage) {
  switch (stage) {
    case ChurnStage::kConnecting: return "while connecting";
    case ChurnStage::kLoggedIn: return "once logged in";
    case ChurnStage::kChatted: return "after the chats";
  }
  return "?";
}
const char* CallbackSpotName(CallbackSpot spot) {
  return spot == CallbackSpot::kLoginResult ? "OnLoginResult" : "OnChatMessage";
}

bool ParseChurnModes(const std::string& text, std::vector<ChurnMode>* out, std::string* error) {
  return ParseNames(text, kModeNames, out, error);
}
bool ParseChurnEnds(const std::string& text, std::vector<ChurnEnd>* out, std::string* error) {
  return ParseNames(text, kEndNames, out, error);
}

ChurnPlan::ChurnPlan(uint64_t seed, std::vector<ChurnMode> modes, std::vector<ChurnEnd> ends)
    : seed_(seed), modes_(std::move(modes)), ends_(std::move(ends)) {}

CyclePlan ChurnPlan::For(uint64_t cycle) const {
  kelvo::tools::SeededRandom r(kelvo::tools::SeededRandom::Mix(seed_, cycle));
  CyclePlan p;
  p.mode = modes_[r.Below(modes_.size())];
  p.end = ends_[r.Below(ends_.size())];
  // Most host ends come after the chats; some race the connect and the
  // login, where a connection's state changes under the host's call.
  const uint64_t stage = r.Below(20);
  p.stage = stage < 3 ? ChurnStage::kConnecting
            : stage < 8 ? ChurnStage::kLoggedIn
                        : ChurnStage::kChatted;
  // Waiting for the server's drop needs the chats: a fault may be waiting
  // for one.
  if (p.end == ChurnEnd::kServerDrop) p.stage = ChurnStage::kChatted;
  p.spot = r.Below(2) == 0 ? CallbackSpot::kLoginResult : CallbackSpot::kChatMessage;
  p.chats = 1 + static_cast<uint32_t>(r.Below(3));
  return p;
}

std::string ChurnPlan::Describe(const CyclePlan& p) const {
  std::string s = std::string(ChurnModeName(p.mode)) + ", " + ChurnEndName(p.end);
  if (p.end == ChurnEnd::kCallbackRelease) {
    s += std::string(" in ") + CallbackSpotName(p.spot);
  } else if (p.end != ChurnEnd::kServerDrop) {
    s += std::string(" ") + ChurnStageName(p.stage);
  }
  return s + ", " + std::to_string(p.chats) + " chat(s)";
}

bool IsReasonLine(const char* text) {
  return text != nullptr && (std::strncmp(text, kFailedPrefix, sizeof kFailedPrefix - 1) == 0 ||
                             std::strncmp(text, kLostPrefix, sizeof kLostPrefix - 1) == 0);
}

std::string ReasonText(const std::string& line) {
  std::string reason = line;
  // The first of the two: a TLS reason may say "failed" after "lost: ".
  std::size_t at = std::string::npos, skip = 0;
  for (const char* cut : {" failed: ", " lost: "}) {
    const std::size_t found = reason.find(cut);
    if (found < at) {
      at = found;
      skip = std::strlen(cut);
    }
  }
  if (at != std::string::npos) reason.erase(0, at + skip);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  return reason;
}

std::string ReasonKind(const std::string& line) {
  const std::string reason = ReasonText(line);
  std::string kind;
  for (std::size_t i = 0; i < reason.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(reason[i]))) {
      kind += 'N';
      while (i + 1 < reason.size() && std::isdigit(static_cast<unsigned char>(reason[i + 1]))) ++i;
    } else {
      kind += reason[i];
    }
  }
  return kind.empty() ? "(empty)" : kind;
}

bool ConnectionCheck::Detached(const char* what) {
  if (!hostClosed_ && !released_) return false;
  problems_.push_back(std::string(what) + (released_ ? " after Release" : " after Close returned"));
  return true;
}

void ConnectionCheck::Reason(const std::string& line) {
  if (Detached("a reason line")) return;
  ++reasonLines_;
  if (!pendingReason_.empty()) problems_.push_back("two reason lines in a row: " + line);
  if (endReports_ > 0) problems_.push_back("a reason line after the end report: " + line);
  pendingReason_ = line;
}

void ConnectionCheck::EndReport(const char* what, const char* prefix) {
  ++endReports_;
  if (endReports_ > 1) problems_.push_back(std::string("a second end report: ") + what);
  if (pendingReason_.empty()) {
    problems_.push_back(std::string(what) + " without a reason line before it");
  } else if (!StartsWith(pendingReason_, prefix)) {
    problems_.push_back(std::string(what) + " after the wrong kind of reason line: " +
                        pendingReason_);
  }
  if (endReason_.empty()) endReason_ = pendingReason_;
  pendingReason_.clear();
}

void ConnectionCheck::Connected(uint32_t state) {
  if (Detached(state == 1 ? "OnConnect(1)" : "OnConnect(0)")) return;
  if (state == 1) {
    if (connected_) problems_.push_back("OnConnect(1) twice");
    if (endReports_ > 0) problems_.push_back("OnConnect(1) after the end report");
    if (!pendingReason_.empty()) problems_.push_back("a reason line before OnConnect(1)");
    pendingReason_.clear();
    connected_ = true;
    return;
  }
  if (connected_) problems_.push_back("OnConnect(0) after OnConnect(1)");
  failedAttempt_ = true;
  EndReport("OnConnect(0)", kFailedPrefix);
}

void ConnectionCheck::Closed() {
  if (Detached("OnClose")) return;
  if (!connected_) problems_.push_back("OnClose without OnConnect(1)");
  EndReport("OnClose", kLostPrefix);
}

void ConnectionCheck::Callback(const char* name) {
  if (Detached(name)) return;
  if (!pendingReason_.empty()) {
    problems_.push_back(std::string("a reason line not followed by its end report but by ") +
                        name);
    pendingReason_.clear();
  }
  if (endReports_ > 0) problems_.push_back(std::string(name) + " after the end report");
}

void ConnectionCheck::HostClosed() { hostClosed_ = true; }
void ConnectionCheck::Released() { released_ = true; }

void ConnectionCheck::Finish() {
  if (!pendingReason_.empty()) {
    problems_.push_back("a reason line with no end report after it: " + pendingReason_);
    pendingReason_.clear();
  }
}

}  // namespace kelvo_bots
