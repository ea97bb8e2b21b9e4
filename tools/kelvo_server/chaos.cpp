#include "chaos.h"

#include <algorithm>
#include <cstring>

#include "nimbo2/msg_head.h"
#include "protocol/message_ids.h"

namespace kelvo {
namespace server {

namespace {

constexpr const char* kKindNames[kChaosKindCount] = {"reset", "fin",         "stall",  "drip",
                                                     "delay", "tls-noclose", "garbage"};
constexpr const char* kPointNames[kChaosPointCount] = {"after-login", "roster", "chat"};

// A category the protocol does not use: a client drops such a message.
constexpr uint8_t kForeignCategory = 7;
static_assert(kForeignCategory != IM_MSG_CATEGORY, "garbage must not look like a message");
constexpr std::size_t kForeignMessageSize = 12;

}  // namespace

const char* ChaosKindName(ChaosKind kind) { return kKindNames[static_cast<std::size_t>(kind)]; }
const char* ChaosPointName(ChaosPoint point) {
  return kPointNames[static_cast<std::size_t>(point)];
}

bool ParseChaosKinds(const std::string& text, std::vector<ChaosKind>* out, std::string* error) {
  std::vector<ChaosKind> kinds;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    const std::string name = text.substr(at, comma - at);
    at = comma + 1;
    if (name == "all") {
      for (std::size_t k = 0; k < kChaosKindCount; ++k) kinds.push_back(static_cast<ChaosKind>(k));
      continue;
    }
    std::size_t k = 0;
    while (k < kChaosKindCount && name != kKindNames[k]) ++k;
    if (k == kChaosKindCount) {
      *error = "unknown fault '" + name +
               "' (reset, fin, stall, drip, delay, tls-noclose, garbage, all)";
      return false;
    }
    kinds.push_back(static_cast<ChaosKind>(k));
  }
  std::sort(kinds.begin(), kinds.end());
  kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
  *out = std::move(kinds);
  return true;
}

std::size_t ChaosFault::CutAt(std::size_t length) const {
  if (length < 2) return 0;
  return 1 + static_cast<std::size_t>(draw % (length - 1));
}

uint32_t ChaosFault::DripPauseUs() const {
  return 200 + static_cast<uint32_t>((draw >> 16) % 1801);
}

bool ChaosFault::GarbageIsShortLength() const { return (draw & 1) == 0; }

Bytes ChaosFault::Garbage() const {
  Nimbo2::NimboMsgHead head;
  if (GarbageIsShortLength()) {
    head.SetHead(static_cast<unsigned short>((draw >> 8) % 4), IM_MSG_CATEGORY, IM_MSG_ID_USER_CHAT,
                 false, false, false);
    return Bytes(head.bytes, head.bytes + sizeof head.bytes);
  }
  Bytes m(kForeignMessageSize, 0);
  head.SetHead(static_cast<unsigned short>(m.size()), kForeignCategory, IM_MSG_ID_USER_CHAT, false,
               false, false);
  std::memcpy(m.data(), head.bytes, sizeof head.bytes);
  return m;
}

std::string ChaosFault::Describe() const {
  if (!active) return "none";
  std::string s = std::string(ChaosKindName(kind)) + " at " + ChaosPointName(point);
  if (kind == ChaosKind::kGarbage) {
    s += GarbageIsShortLength() ? " (a length below 4)" : " (a foreign category)";
  }
  return s;
}

ChaosPlan::ChaosPlan(uint64_t seed, double share, std::vector<ChaosKind> kinds, bool tls)
    : seed_(seed), share_(share), kinds_(std::move(kinds)) {
  if (!tls) {
    kinds_.erase(std::remove(kinds_.begin(), kinds_.end(), ChaosKind::kTlsNoClose), kinds_.end());
  }
}

ChaosFault ChaosPlan::For(uint64_t ordinal) const {
  tools::SeededRandom r(tools::SeededRandom::Mix(seed_, ordinal));
  ChaosFault f;
  // The share's test comes first and the rest in order, so a change of
  // share keeps which kind and point each connection would get.
  const double u = r.Unit();
  const uint64_t kind = r.Below(kinds_.size());
  const uint64_t point = r.Below(kChaosPointCount);
  f.draw = r.Next();
  f.active = !kinds_.empty() && u < share_;
  if (!kinds_.empty()) f.kind = kinds_[kind];
  f.point = static_cast<ChaosPoint>(point);
  return f;
}

std::string ChaosCounts::Line() const {
  uint64_t total = 0;
  for (uint64_t n : injected_) total += n;
  std::string s = "chaos: " + std::to_string(total) + " injected of " + std::to_string(planned_) +
                  " planned:";
  for (std::size_t k = 0; k < kChaosKindCount; ++k) {
    s += std::string(k == 0 ? " " : ", ") + kKindNames[k] + " " + std::to_string(injected_[k]);
  }
  return s;
}

}  // namespace server
}  // namespace kelvo
