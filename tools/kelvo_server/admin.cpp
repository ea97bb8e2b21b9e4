#include "admin.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "messaging/messaging_layouts.h"
#include "text.h"

namespace kelvo {
namespace server {
namespace {

constexpr const char* kUsage =
    "commands: notice system TYPE TEXT | notice info FLAGS TEXT | kick USERID | users | quit";

// Decimal or 0x-prefixed hexadecimal, 32 bits.
bool ParseU32(const std::string& word, uint32_t* out) {
  if (word.empty() || word[0] == '-' || word[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(word.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// The rest of `line` after the first `n` words, leading blanks removed.
std::string Rest(const std::string& line, int n) {
  std::size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) return "";
    pos = line.find_first_of(" \t", pos);
    if (pos == std::string::npos) return "";
  }
  pos = line.find_first_not_of(" \t", pos);
  return pos == std::string::npos ? "" : line.substr(pos);
}

}  // namespace

AdminOutcome RunAdminCommand(ServerState& state, const std::string& rawLine, std::string* reply) {
  std::string line = rawLine;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  reply->clear();
  if (cmd.empty()) return AdminOutcome::kDone;
  if (cmd == "quit") {
    *reply = "bye";
    return AdminOutcome::kQuit;
  }
  if (cmd == "users") {
    for (const std::string& u : state.OnlineUsers()) *reply += u + "\n";
    *reply += std::to_string(state.OnlineUsers().size()) + " online";
    return AdminOutcome::kDone;
  }
  if (cmd == "kick") {
    std::string word, extra;
    uint32_t id;
    if (!(in >> word) || (in >> extra) || !ParseU32(word, &id)) {
      *reply = "usage: kick USERID";
      return AdminOutcome::kError;
    }
    *reply = state.Kick(id) ? "kicked " + word : "user " + word + " is not online";
    return AdminOutcome::kDone;
  }
  if (cmd == "notice") {
    std::string kind, number;
    uint32_t value;
    in >> kind >> number;
    const std::string text = Rest(line, 3);
    std::string gbk;
    if ((kind != "system" && kind != "info") || !ParseU32(number, &value) || text.empty()) {
      *reply = "usage: notice system TYPE TEXT | notice info FLAGS TEXT";
      return AdminOutcome::kError;
    }
    if (!Utf8ToGbk(text, &gbk)) {
      *reply = "text not representable in GBK";
      return AdminOutcome::kError;
    }
    gbk = CutGbk(gbk, layout::kMaxText - 1);
    if (kind == "system") {
      state.BroadcastSystem(value, gbk);
    } else {
      state.BroadcastInfo(value, gbk);
    }
    *reply = "sent to " + std::to_string(state.OnlineUsers().size()) + " user(s)";
    return AdminOutcome::kDone;
  }
  *reply = kUsage;
  return AdminOutcome::kError;
}

}  // namespace server
}  // namespace kelvo
