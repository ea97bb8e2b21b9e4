// A minimal game-client host of the Kelvo SDK, and the shape the host guide
// recommends: the sink only copies events into a queue under a mutex, and
// the game thread (here: main) drains the queue once per frame and acts on
// them, calling the client from its own thread.
//
//   kelvo_consumer_linked PORT          CreateKelvoCore linked directly
//   kelvo_consumer_loaded PORT MODULE   MODULE opened with dlopen/LoadLibrary
//
// Against kelvo-server's demo accounts on 127.0.0.1:PORT, alice and bob each
// get a client object, connect, log in and chat once each way. Exit status 0
// and a closing "KELVO CONSUMER OK" line when every step happened.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelvo/kelvo_core.h"
#include "kelvo/version.h"

#if defined(KELVO_CONSUMER_LOADS_MODULE)
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#endif

// The SDK's MAJOR.MINOR is the interface version its headers ask for.
static_assert(((kelvo::IM_INTERFACE_VERSION >> 24) & 0xFFu) == KELVO_VERSION_MAJOR &&
                  ((kelvo::IM_INTERFACE_VERSION >> 16) & 0xFFu) == KELVO_VERSION_MINOR,
              "kelvo/version.h and IM_INTERFACE_VERSION disagree");

namespace {

enum class Kind { Connect, Close, Login, Logout, Chat, Log };

struct Event {
  std::string who;
  Kind kind;
  uint32_t value;  // state, result or sender
  std::string text;
  bool used = false;
};

// Filled on the network thread, drained on the game thread.
class EventQueue {
 public:
  void Push(Event event) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(event));
  }
  std::deque<Event> TakeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<Event> out;
    out.swap(pending_);
    return out;
  }

 private:
  std::mutex mutex_;
  std::deque<Event> pending_;
};

// Copies what the game needs and returns at once: the callback runs on the
// network thread with the client's lock held, so it must not block on the
// game thread.
class QueueSink final : public kelvo::IImClientSink {
 public:
  QueueSink(EventQueue& queue, const char* who) : queue_(queue), who_(who) {}

  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t) override {
    return std::memcmp(&iid, &kelvo::IID_IImClientSink, sizeof(GUID)) == 0 ? this : nullptr;
  }

  void KELVO_CALL OnConnect(uint32_t state) override { Push(Kind::Connect, state, nullptr); }
  void KELVO_CALL OnClose(uint32_t reason) override { Push(Kind::Close, reason, nullptr); }
  void KELVO_CALL OnServerInfo() override {}
  void KELVO_CALL OnLoginResult(uint32_t result, const char* text) override {
    Push(Kind::Login, result, text);
  }
  void KELVO_CALL OnLogout() override { Push(Kind::Logout, 0, nullptr); }
  void KELVO_CALL OnAddUserResult(uint32_t, const kelvo::UserRecord*) override {}
  void KELVO_CALL OnRemoveUserResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnAddGroupResult(uint32_t, const kelvo::GroupRecord*) override {}
  void KELVO_CALL OnDeleteGroupResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnUpdateGroupResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnMoveUserResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnChatMessage(kelvo::MessageKind kind, uint32_t sender, const char* text, uint8_t,
                                uint8_t, uint8_t) override {
    if (kind == kelvo::MESSAGE_KIND_CHAT) Push(Kind::Chat, sender, text);
  }
  void KELVO_CALL OnChatMessageEx(kelvo::MessageKind, uint32_t, double, const char*, uint8_t,
                                  uint8_t, uint8_t) override {}
  void KELVO_CALL OnOfflineMessage(kelvo::MessageKind, uint32_t, double, const char*, uint8_t,
                                   uint8_t, uint8_t, const void*, uint32_t) override {}
  void KELVO_CALL OnAddUserRequest(uint32_t) override {}
  void KELVO_CALL OnAddUserReply(uint32_t, const kelvo::UserRecord*) override {}
  void KELVO_CALL OnOnlineStateChanged(uint32_t) override {}
  void KELVO_CALL OnUserEnterGameServer(uint32_t) override {}
  void KELVO_CALL OnUserLeaveGameServer(uint32_t) override {}
  void KELVO_CALL OnLog(const char* text) override { Push(Kind::Log, 0, text); }
  void KELVO_CALL OnSearchUserResult(const kelvo::SearchUserResult*) override {}
  void KELVO_CALL OnSearchUserListItem(const kelvo::UserRecord*) override {}
  void KELVO_CALL OnSearchUserListEnd(uint32_t) override {}
  bool KELVO_CALL OnEnumUser(uint32_t, const kelvo::UserRecord*) override { return false; }
  bool KELVO_CALL OnEnumAddRequest(uint32_t, const kelvo::UserRecord*) override { return false; }
  bool KELVO_CALL OnEnumGroup(uint32_t, const kelvo::GroupRecord*) override { return false; }

 private:
  void Push(Kind kind, uint32_t value, const char* text) {
    // Texts are valid during the call only: copy them.
    queue_.Push(Event{who_, kind, value, text != nullptr ? text : ""});
  }

  EventQueue& queue_;
  std::string who_;
};

// The 16-byte login blocks of the demo accounts: MD5 of "alice" and "bob".
const uint8_t kAlicePassword[16] = {0x63, 0x84, 0xe2, 0xb2, 0x18, 0x4b, 0xcb, 0xf5,
                                    0x8e, 0xcc, 0xf1, 0x0c, 0xa7, 0xa6, 0x56, 0x3c};
const uint8_t kBobPassword[16] = {0x9f, 0x9d, 0x51, 0xbc, 0x70, 0xef, 0x21, 0xca,
                                  0x5c, 0x14, 0xf3, 0x07, 0x98, 0x0a, 0x29, 0xd8};
constexpr uint32_t kAlice = 1001;
constexpr uint32_t kBob = 1002;

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Connect: return "OnConnect";
    case Kind::Close: return "OnClose";
    case Kind::Login: return "OnLoginResult";
    case Kind::Logout: return "OnLogout";
    case Kind::Chat: return "OnChatMessage";
    case Kind::Log: return "OnLog";
  }
  return "?";
}

// The game thread's view: every event drained so far, each matched once.
class Game {
 public:
  explicit Game(EventQueue& queue) : queue_(queue) {}

  // Runs frames until an unmatched event of `who` and `kind` with `value`
  // (and `text`, when given) has arrived; false after ten seconds.
  bool WaitFor(const char* who, Kind kind, uint32_t value, const char* text = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      for (Event& event : seen_) {
        if (!event.used && event.who == who && event.kind == kind && event.value == value &&
            (text == nullptr || event.text == text)) {
          event.used = true;
          return true;
        }
      }
      if (std::chrono::steady_clock::now() > deadline) {
        std::printf("FAILED: no %s(%u%s%s) for %s within 10 s\n", KindName(kind), value,
                    text != nullptr ? ", " : "", text != nullptr ? text : "", who);
        return false;
      }
      Frame();
    }
  }

 private:
  void Frame() {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (Event& event : queue_.TakeAll()) {
      // OnLog texts are GBK; the demo's are ASCII or printed as bytes.
      std::printf("[%s] %s %u %s\n", event.who.c_str(), KindName(event.kind), event.value,
                  event.text.c_str());
      seen_.push_back(std::move(event));
    }
    std::fflush(stdout);
  }

  EventQueue& queue_;
  std::vector<Event> seen_;
};

bool Check(bool ok, const char* what) {
  if (!ok) std::printf("FAILED: %s\n", what);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(KELVO_CONSUMER_LOADS_MODULE)
  const char* mode = "loaded";
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT MODULE\n", argv[0]);
    return 2;
  }
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(argv[2]);
  CreateKelvoCoreFn create = module == nullptr
      ? nullptr
      : reinterpret_cast<CreateKelvoCoreFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "CreateKelvoCore")));
#else
  void* module = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
  CreateKelvoCoreFn create = module == nullptr
      ? nullptr
      : reinterpret_cast<CreateKelvoCoreFn>(dlsym(module, "CreateKelvoCore"));
#endif
  if (!Check(create != nullptr, "CreateKelvoCore not found in the module")) return 1;
#else
  const char* mode = "linked";
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  CreateKelvoCoreFn create = &CreateKelvoCore;
#endif
  const long port = std::strtol(argv[1], nullptr, 10);
  if (port <= 0 || port > 65535) return 2;

  EventQueue queue;
  QueueSink aliceSink(queue, "alice");
  QueueSink bobSink(queue, "bob");
  auto* alice = static_cast<kelvo::IImClient*>(
      create(&kelvo::IID_IImClient, kelvo::IM_INTERFACE_VERSION));
  auto* bob = static_cast<kelvo::IImClient*>(
      create(&kelvo::IID_IImClient, kelvo::IM_INTERFACE_VERSION));
  if (!Check(alice != nullptr && bob != nullptr, "CreateKelvoCore returned null")) return 1;

  Game game(queue);
  kelvo::ServerAddress address{};
  address.serverIp = 0x7F000001;  // 127.0.0.1, host byte order
  address.serverPort = static_cast<uint16_t>(port);
  bool ok = Check(alice->SetSink(&aliceSink) && bob->SetSink(&bobSink), "SetSink") &&
            Check(alice->Connect(&address) && bob->Connect(&address), "Connect") &&
            game.WaitFor("alice", Kind::Connect, 1) && game.WaitFor("bob", Kind::Connect, 1) &&
            Check(alice->Login(kAlice, kAlicePassword, nullptr) &&
                      bob->Login(kBob, kBobPassword, nullptr),
                  "Login") &&
            game.WaitFor("alice", Kind::Login, 1) && game.WaitFor("bob", Kind::Login, 1) &&
            Check(alice->SendChatMessage(kBob, 0, "hello bob", 0, 0, 0), "alice's chat") &&
            game.WaitFor("bob", Kind::Chat, kAlice, "hello bob") &&
            Check(bob->SendChatMessage(kAlice, 0, "hello alice", 0, 0, 0), "bob's chat") &&
            game.WaitFor("alice", Kind::Chat, kBob, "hello alice");
  if (ok) {
    // The friend list came before bob's answer on alice's connection.
    kelvo::UserRecord friendRecord{};
    const kelvo::UserRecord* me = alice->GetMyInfo();
    ok = Check(me != nullptr && me->userId == kAlice, "GetMyInfo after login") &&
         Check(alice->GetUser(kBob, &friendRecord) && std::strncmp(friendRecord.name, "bob", sizeof friendRecord.name) == 0,
               "bob in alice's friend table");
  }
  alice->Close();
  bob->Close();
  alice->Release();
  bob->Release();
#if defined(KELVO_CONSUMER_LOADS_MODULE)
#if defined(_WIN32)
  FreeLibrary(module);
#else
  dlclose(module);
#endif
#endif
  if (!ok) return 1;
  std::printf("KELVO CONSUMER OK: SDK %s, interface 0x%08X, %s\n", KELVO_VERSION_STRING,
              static_cast<unsigned>(kelvo::IM_INTERFACE_VERSION), mode);
  return 0;
}
