#include "commands.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include <openssl/evp.h>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#endif

#include "gbk.h"

namespace kelvo_cli {

// ---------------------------------------------------------------- Words

void Words::SkipBlanks() {
  while (pos_ < line_.size() && (line_[pos_] == ' ' || line_[pos_] == '\t')) ++pos_;
}

bool Words::AtEnd() {
  SkipBlanks();
  return pos_ >= line_.size();
}

bool Words::Next(std::string* word) {
  SkipBlanks();
  if (pos_ >= line_.size()) return false;
  word->clear();
  if (line_[pos_] == '"' || line_[pos_] == '\'') {
    const std::size_t close = line_.find(line_[pos_], pos_ + 1);
    if (close != std::string::npos) {
      word->assign(line_, pos_ + 1, close - pos_ - 1);
      pos_ = close + 1;
      return true;
    }
  }
  while (pos_ < line_.size() && line_[pos_] != ' ' && line_[pos_] != '\t') {
    word->push_back(line_[pos_++]);
  }
  return true;
}

std::string Words::Rest() {
  SkipBlanks();
  std::string rest = line_.substr(pos_);
  pos_ = line_.size();
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.pop_back();
  if (rest.size() >= 2 && (rest.front() == '"' || rest.front() == '\'') &&
      rest.back() == rest.front()) {
    rest = rest.substr(1, rest.size() - 2);
  }
  return rest;
}

// ---------------------------------------------------------------- helpers

bool ParseNumber(const std::string& text, uint32_t max, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > max) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool PasswordDigest(const std::string& password, uint8_t digest[16]) {
  unsigned int size = 0;
  unsigned char md[EVP_MAX_MD_SIZE];
  if (EVP_Digest(password.data(), password.size(), md, &size, EVP_md5(), nullptr) != 1 ||
      size != 16) {
    return false;
  }
  std::memcpy(digest, md, 16);
  return true;
}

bool ExpandVariables(const std::string& line, std::string* out, std::string* missing) {
  out->clear();
  std::size_t pos = 0;
  while (pos < line.size()) {
    const std::size_t open = line.find("${", pos);
    const std::size_t close = open == std::string::npos ? open : line.find('}', open + 2);
    if (close == std::string::npos) {
      out->append(line, pos, std::string::npos);
      break;
    }
    out->append(line, pos, open - pos);
    const std::string name = line.substr(open + 2, close - open - 2);
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
      *missing = name;
      return false;
    }
    out->append(value);
    pos = close + 1;
  }
  return true;
}

// ---------------------------------------------------------------- Session

const char* Session::Help() {
  return "commands:\n"
         "  connect HOST PORT [--proxy HOST:PORT]   open the connection (SOCKS5 proxy optional);\n"
         "                                          HOST a name, IPv4 or IPv6 address ([v6]:PORT\n"
         "                                          for a proxy)\n"
         "  login ID PASSWORD                       log in (the password is sent as its MD5)\n"
         "  logout | close                          log out | drop the connection\n"
         "  friends [RELATION GROUP GS ONLINE]      list friends (0 = any for each filter)\n"
         "  groups [KIND] | requests                list groups | pending friend requests\n"
         "  user ID | me                            one friend or request | the own record\n"
         "  add ID GROUP | remove ID | move ID GROUP\n"
         "  accept ID GROUP | decline ID            answer a friend request\n"
         "  group add PARENT KIND NAME | group rename ID NAME | group delete ID\n"
         "  enter GS | leave GS                     announce a game-server move\n"
         "  chat ID TEXT...                         send a chat message\n"
         "  search [NAME]                           search users by name\n"
         "  wait PATTERN [TIMEOUT_MS]               wait for an event line containing PATTERN\n"
         "                                          ('*' in PATTERN matches anything)\n"
         "                                          (quote a PATTERN with blanks in \"...\" or '...';\n"
         "                                          default 5000)\n"
         "  echo TEXT | sleep MS | help | quit\n"
         "In scripts and piped input, ${NAME} is replaced by the environment variable NAME.\n";
}

Outcome Session::Usage(const std::string& usage) {
  console_.Note("! usage: " + usage);
  return Outcome::kFailed;
}

void Session::Sent(bool accepted, const std::string& what) {
  if (!accepted) console_.Note("! " + what + " was not sent (refused by the client or not connected)");
}

bool Session::Gbk(const std::string& utf8, std::string* gbk) {
  if (Utf8ToGbk(utf8, gbk)) return true;
  console_.Note("! the text cannot be written in GBK: \"" + utf8 + "\"");
  return false;
}

Outcome Session::Connect(Words& words) {
  const char* usage = "connect HOST PORT [--proxy HOST:PORT]";
  std::string host, portText, option, proxy, proxyHost;
  uint32_t port = 0;
  uint32_t proxyPort = 0;
  if (!words.Next(&host) || !words.Next(&portText) || !ParseNumber(portText, 65535, &port)) {
    return Usage(usage);
  }
  if (words.Next(&option)) {
    if (option != "--proxy" || !words.Next(&proxy)) return Usage(usage);
    // The last colon: "[::1]:1080" is the IPv6 proxy ::1.
    const std::size_t colon = proxy.rfind(':');
    if (colon == std::string::npos ||
        !ParseNumber(proxy.substr(colon + 1), 65535, &proxyPort) || proxyPort == 0) {
      return Usage(usage);
    }
    proxyHost = proxy.substr(0, colon);
  }
  if (!words.AtEnd()) return Usage(usage);
  // A module with IImClientNetwork resolves names (IPv6 too) itself; an
  // older one gets an IPv4 address resolved here.
  auto* const net = static_cast<kelvo::IImClientNetwork*>(client_->QueryInterface(
      kelvo::IID_IImClientNetwork, kelvo::IM_NETWORK_INTERFACE_VERSION));
  if (net != nullptr) {
    if (!net->SetProxy(proxyHost.c_str(), static_cast<uint16_t>(proxyPort))) {
      console_.Note("! the client refused the proxy " + proxy);
      return Outcome::kFailed;
    }
    Sent(net->ConnectTo(host.c_str(), static_cast<uint16_t>(port)), "ConnectTo");
    return Outcome::kContinue;
  }
  kelvo::ServerAddress address{};
  if (!ResolveIpv4(host, &address.serverIp)) {
    console_.Note("! cannot resolve " + host);
    return Outcome::kFailed;
  }
  address.serverPort = static_cast<uint16_t>(port);
  if (!proxyHost.empty()) {
    if (!ResolveIpv4(proxyHost, &address.proxyIp)) {
      console_.Note("! cannot resolve " + proxyHost);
      return Outcome::kFailed;
    }
    address.proxyPort = static_cast<uint16_t>(proxyPort);
  }
  Sent(client_->Connect(&address), "Connect");
  return Outcome::kContinue;
}

Outcome Session::Login(Words& words) {
  std::string idText, password;
  uint32_t id = 0;
  if (!words.Next(&idText) || !ParseNumber(idText, UINT32_MAX, &id) || !words.Next(&password) ||
      !words.AtEnd()) {
    return Usage("login ID PASSWORD");
  }
  uint8_t digest[16];
  if (!PasswordDigest(password, digest)) {
    console_.Note("! MD5 is not available from libcrypto");
    return Outcome::kFailed;
  }
  loginId_ = id;
  Sent(client_->Login(id, digest, nullptr), "Login");
  return Outcome::kContinue;
}

Outcome Session::Friends(Words& words) {
  // Filters in order: relation, group, game server, online state.
  const uint32_t limits[4] = {UINT32_MAX, UINT32_MAX, 0xFFFF, 0xFF};
  uint32_t filter[4] = {0, 0, 0, 0};
  std::string word;
  for (int i = 0; i < 4 && words.Next(&word); ++i) {
    if (!ParseNumber(word, limits[i], &filter[i])) return Usage("friends [RELATION GROUP GS ONLINE]");
  }
  if (!words.AtEnd()) return Usage("friends [RELATION GROUP GS ONLINE]");
  sink_.TakeEnumCount();
  client_->EnumUsers(0, filter[0], filter[1], static_cast<uint16_t>(filter[2]),
                     static_cast<uint8_t>(filter[3]));
  console_.Event("= " + std::to_string(sink_.TakeEnumCount()) + " friends");
  return Outcome::kContinue;
}

Outcome Session::Group(Words& words) {
  const char* usage = "group add PARENT KIND NAME | group rename ID NAME | group delete ID";
  std::string verb, first, second;
  uint32_t a = 0, b = 0;
  if (!words.Next(&verb) || !words.Next(&first) || !ParseNumber(first, UINT32_MAX, &a)) {
    return Usage(usage);
  }
  std::string name;
  if (verb == "add") {
    if (!words.Next(&second) || !ParseNumber(second, UINT32_MAX, &b)) return Usage(usage);
    if (!Gbk(words.Rest(), &name)) return Outcome::kFailed;
    Sent(client_->AddGroup(a, b, name.c_str()), "AddGroup");
  } else if (verb == "rename") {
    if (!Gbk(words.Rest(), &name)) return Outcome::kFailed;
    Sent(client_->RenameGroup(a, name.c_str()), "RenameGroup");
  } else if (verb == "delete" && words.AtEnd()) {
    Sent(client_->DeleteGroup(a), "DeleteGroup");
  } else {
    return Usage(usage);
  }
  return Outcome::kContinue;
}

Outcome Session::Wait(Words& words) {
  std::string pattern, timeoutText;
  uint32_t timeoutMs = 5000;
  if (!words.Next(&pattern) || pattern.empty() ||
      (words.Next(&timeoutText) && !ParseNumber(timeoutText, 600000, &timeoutMs)) ||
      !words.AtEnd()) {
    return Usage("wait PATTERN [TIMEOUT_MS]   (quote a PATTERN that has blanks)");
  }
  if (console_.Wait(pattern, std::chrono::milliseconds(timeoutMs))) return Outcome::kContinue;
  const std::string message = "! wait failed: no event containing \"" + pattern + "\" within " +
                              std::to_string(timeoutMs) + " ms";
  console_.Note(message);
  std::cerr << "kelvo-cli: " << message.substr(2) << std::endl;
  return Outcome::kFailed;
}

Outcome Session::Execute(const std::string& line) {
  Words words(line);
  std::string command;
  if (!words.Next(&command) || command[0] == '#') return Outcome::kContinue;
  std::string w1, w2;
  uint32_t a = 0, b = 0;
  // Commands of the form NAME ID [GROUP]: the numbers, checked once.
  auto ids = [&](int count, uint32_t max) {
    if (!words.Next(&w1) || !ParseNumber(w1, max, &a)) return false;
    if (count == 2 && (!words.Next(&w2) || !ParseNumber(w2, UINT32_MAX, &b))) return false;
    return words.AtEnd();
  };

  if (command == "connect") return Connect(words);
  if (command == "login") return Login(words);
  if (command == "friends") return Friends(words);
  if (command == "group") return Group(words);
  if (command == "wait") return Wait(words);
  if (command == "quit" || command == "exit") return Outcome::kQuit;
  if (command == "echo") {
    // A marker in the transcript; scripts use it to tell an outside driver
    // how far they have got.
    console_.Note("--- " + words.Rest());
    return Outcome::kContinue;
  }
  if (command == "help") {
    console_.Note(Help());
    return Outcome::kContinue;
  }
  if (command == "logout") {
    const kelvo::UserRecord* me = client_->GetMyInfo();
    Sent(client_->Logout(me != nullptr ? me->userId : loginId_), "Logout");
    return Outcome::kContinue;
  }
  if (command == "close") {
    client_->Close();
    console_.Note("  connection closed, roster emptied");
    return Outcome::kContinue;
  }
  if (command == "groups") {
    if (words.Next(&w1) && !ParseNumber(w1, UINT32_MAX, &a)) return Usage("groups [KIND]");
    if (!words.AtEnd()) return Usage("groups [KIND]");
    sink_.TakeEnumCount();
    client_->EnumGroups(0, a);
    console_.Event("= " + std::to_string(sink_.TakeEnumCount()) + " groups");
    return Outcome::kContinue;
  }
  if (command == "requests") {
    if (!words.AtEnd()) return Usage("requests");
    sink_.TakeEnumCount();
    client_->EnumAddRequests(0);
    console_.Event("= " + std::to_string(sink_.TakeEnumCount()) + " requests");
    return Outcome::kContinue;
  }
  if (command == "user") {
    if (!ids(1, UINT32_MAX)) return Usage("user ID");
    kelvo::UserRecord record{};
    if (client_->GetUser(a, &record)) {
      console_.Event("user " + DescribeUser(record));
    } else if (client_->GetAddRequest(a, &record)) {
      console_.Event("request " + DescribeUser(record));
    } else {
      console_.Event("user #" + std::to_string(a) + " is neither a friend nor a request");
    }
    return Outcome::kContinue;
  }
  if (command == "me") {
    if (!words.AtEnd()) return Usage("me");
    const kelvo::UserRecord* me = client_->GetMyInfo();
    if (me == nullptr) {
      console_.Event("me: no own data (not logged in)");
    } else {
      console_.Event("me " + DescribeUser(*me) + (client_->IsGm() ? " (game master)" : ""));
    }
    return Outcome::kContinue;
  }
  if (command == "add") {
    if (!ids(2, UINT32_MAX)) return Usage("add ID GROUP");
    Sent(client_->AddUser(a, b, 0), "AddUser");
    return Outcome::kContinue;
  }
  if (command == "remove") {
    if (!ids(1, UINT32_MAX)) return Usage("remove ID");
    Sent(client_->RemoveUser(a), "RemoveUser");
    return Outcome::kContinue;
  }
  if (command == "move") {
    if (!ids(2, UINT32_MAX)) return Usage("move ID GROUP");
    Sent(client_->MoveUser(a, b, 0), "MoveUser");
    return Outcome::kContinue;
  }
  if (command == "accept") {
    if (!ids(2, UINT32_MAX)) return Usage("accept ID GROUP");
    Sent(client_->ReplyAddRequest(a, b, true), "ReplyAddRequest");
    return Outcome::kContinue;
  }
  if (command == "decline") {
    if (!ids(1, UINT32_MAX)) return Usage("decline ID");
    Sent(client_->ReplyAddRequest(a, 0, false), "ReplyAddRequest");
    return Outcome::kContinue;
  }
  if (command == "enter" || command == "leave") {
    if (!ids(1, 0xFFFF)) return Usage(command + " GS");
    const auto gs = static_cast<uint16_t>(a);
    if (command == "enter") {
      Sent(client_->EnterGameServer(gs), "EnterGameServer");
    } else {
      Sent(client_->LeaveGameServer(gs), "LeaveGameServer");
    }
    return Outcome::kContinue;
  }
  if (command == "chat") {
    std::string text;
    if (!words.Next(&w1) || !ParseNumber(w1, UINT32_MAX, &a)) return Usage("chat ID TEXT...");
    const std::string utf8 = words.Rest();
    if (utf8.empty()) return Usage("chat ID TEXT...");
    if (!Gbk(utf8, &text)) return Outcome::kFailed;
    Sent(client_->SendChatMessage(a, 0, text.c_str(), 0, 0, 0), "SendChatMessage");
    return Outcome::kContinue;
  }
  if (command == "search") {
    const std::string utf8 = words.Rest();
    std::string name;
    if (!utf8.empty() && !Gbk(utf8, &name)) return Outcome::kFailed;
    Sent(client_->SearchUser(0, 0, utf8.empty() ? nullptr : name.c_str()), "SearchUser");
    return Outcome::kContinue;
  }
  if (command == "sleep") {
    if (!ids(1, 600000)) return Usage("sleep MS");
    std::this_thread::sleep_for(std::chrono::milliseconds(a));
    return Outcome::kContinue;
  }
  console_.Note("! unknown command \"" + command + "\" (try help)");
  return Outcome::kFailed;
}

}  // namespace kelvo_cli
