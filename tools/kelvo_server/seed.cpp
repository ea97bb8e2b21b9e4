#include "seed.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace kelvo {
namespace server {
namespace {

struct Line {
  int number = 0;
  std::vector<std::string> words;
  std::string rest;  // for group lines: the name, everything after the fifth word
};

bool ParseNumber(const std::string& word, unsigned long max, unsigned long* out) {
  if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long v = std::strtoul(word.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// The text after the first `n` words of `s`, trimmed.
std::string AfterWords(const std::string& s, int n) {
  std::size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    pos = s.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) return "";
    pos = s.find_first_of(" \t", pos);
    if (pos == std::string::npos) return "";
  }
  return Trim(s.substr(pos));
}

}  // namespace

bool LoadSeed(const std::string& text, Directory* out, std::string* error) {
  std::vector<Line> users, groups, friends, requests;
  std::istringstream in(text);
  std::string raw;
  int number = 0;
  while (std::getline(in, raw)) {
    ++number;
    const std::string content = Trim(raw.substr(0, raw.find('#')));
    if (content.empty()) continue;
    Line line;
    line.number = number;
    std::istringstream words(content);
    for (std::string w; words >> w;) line.words.push_back(w);
    const std::string& kind = line.words[0];
    if (kind == "user") {
      users.push_back(line);
    } else if (kind == "group") {
      line.rest = AfterWords(content, 5);
      groups.push_back(line);
    } else if (kind == "friend") {
      friends.push_back(line);
    } else if (kind == "request") {
      requests.push_back(line);
    } else {
      *error = "line " + std::to_string(number) + ": unknown record '" + kind + "'";
      return false;
    }
  }

  Directory dir;
  auto fail = [&](const Line& l, const std::string& why) {
    *error = "line " + std::to_string(l.number) + ": " + why;
    return false;
  };
  auto account = [&](const std::string& word, Account** a) {
    unsigned long id;
    if (!ParseNumber(word, 0xFFFFFFFFul, &id)) return false;
    auto it = dir.accounts.find(static_cast<uint32_t>(id));
    if (it == dir.accounts.end()) return false;
    *a = &it->second;
    return true;
  };

  // Users first, then groups, friends and requests, so records may refer to
  // users and groups defined further down.
  for (const Line& l : users) {
    if (l.words.size() < 4 || l.words.size() > 5) {
      return fail(l, "expected: user <id> <name> <password> [gm=<level>]");
    }
    unsigned long id, gm = 0;
    if (!ParseNumber(l.words[1], 0xFFFFFFFFul, &id) || id == 0) return fail(l, "bad user id");
    if (dir.accounts.count(static_cast<uint32_t>(id)) != 0) return fail(l, "duplicate user id");
    if (l.words.size() == 5 &&
        (l.words[4].compare(0, 3, "gm=") != 0 ||
         !ParseNumber(l.words[4].substr(3), 0xFFFFFFFFul, &gm))) {
      return fail(l, "bad gm level, expected gm=<number>");
    }
    Account a;
    a.id = static_cast<uint32_t>(id);
    a.nameUtf8 = l.words[2];
    if (!Utf8ToGbk(a.nameUtf8, &a.name)) return fail(l, "name not representable in GBK");
    if (a.name.size() > kMaxUserName) return fail(l, "name longer than 31 GBK bytes");
    a.password = Md5(l.words[3]);
    a.gmLevel = static_cast<uint32_t>(gm);
    dir.accounts[a.id] = std::move(a);
  }

  for (const Line& l : groups) {
    Account* owner;
    unsigned long id, parent, kind;
    if (l.words.size() < 6) {
      return fail(l, "expected: group <ownerId> <groupId> <parentGroupId> <kind> <name...>");
    }
    if (!account(l.words[1], &owner)) return fail(l, "unknown owner");
    if (!ParseNumber(l.words[2], 0xFFFF, &id) || id == 0) return fail(l, "bad group id");
    if (!ParseNumber(l.words[3], 0xFFFF, &parent)) return fail(l, "bad parent group id");
    if (!ParseNumber(l.words[4], 0xFF, &kind)) return fail(l, "bad kind");
    if (owner->groups.count(static_cast<uint16_t>(id)) != 0) return fail(l, "duplicate group");
    Group g;
    g.id = static_cast<uint16_t>(id);
    g.parent = static_cast<uint16_t>(parent);
    g.kind = static_cast<uint8_t>(kind);
    if (!Utf8ToGbk(l.rest, &g.name)) return fail(l, "name not representable in GBK");
    if (g.name.size() > kMaxGroupName) return fail(l, "name longer than 63 GBK bytes");
    owner->groups[g.id] = g;
  }
  for (const Line& l : groups) {
    Account* owner = nullptr;
    account(l.words[1], &owner);
    unsigned long parent = 0;
    ParseNumber(l.words[3], 0xFFFF, &parent);
    if (parent != 0 && owner->groups.count(static_cast<uint16_t>(parent)) == 0) {
      return fail(l, "parent group not defined for this owner");
    }
  }
  // Every account can file friends somewhere.
  for (auto& [id, a] : dir.accounts) {
    if (a.groups.empty()) a.groups[1] = Group{1, 0, 1, "Friends"};
  }

  for (const Line& l : friends) {
    Account *owner, *other;
    unsigned long group;
    if (l.words.size() != 4) return fail(l, "expected: friend <ownerId> <friendId> <groupId>");
    if (!account(l.words[1], &owner)) return fail(l, "unknown owner");
    if (!account(l.words[2], &other)) return fail(l, "unknown friend");
    if (owner == other) return fail(l, "a user cannot be his own friend");
    if (!ParseNumber(l.words[3], 0xFFFF, &group) ||
        owner->groups.count(static_cast<uint16_t>(group)) == 0) {
      return fail(l, "group not defined for this owner");
    }
    owner->friends[other->id] = static_cast<uint16_t>(group);
  }

  for (const Line& l : requests) {
    Account *from, *to;
    if (l.words.size() != 3) return fail(l, "expected: request <fromId> <toId>");
    if (!account(l.words[1], &from)) return fail(l, "unknown asker");
    if (!account(l.words[2], &to)) return fail(l, "unknown target");
    if (from == to) return fail(l, "a user cannot ask himself");
    // Group 0: filed under the asker's default group when accepted.
    dir.pending[std::make_pair(from->id, to->id)] = 0;
  }
  *out = std::move(dir);
  return true;
}

const char* DemoSeedText() {
  return R"(# Built-in demo set.
user 1001 alice alice
user 1002 bob bob
user 1003 carol carol
user 1004 dave dave
user 1005 小明 xiaoming
user 9000 gm gm gm=1

group 1001 1 0 1 Friends
group 1001 2 1 1 Guild
group 1002 1 0 1 Friends
group 1003 1 0 1 Friends
group 1004 1 0 1 Friends
group 1005 1 0 1 Friends
group 9000 1 0 1 Friends

# alice and bob: mutual friends.
friend 1001 1002 1
friend 1002 1001 1
# carol and 小明 are in alice's Guild; deleting it refiles them under Friends.
friend 1001 1003 2
friend 1003 1001 1
friend 1001 1005 2
friend 1005 1001 1

request 1004 1001
)";
}

Directory DemoDirectory() {
  Directory dir;
  std::string error;
  LoadSeed(DemoSeedText(), &dir, &error);
  return dir;
}

}  // namespace server
}  // namespace kelvo
