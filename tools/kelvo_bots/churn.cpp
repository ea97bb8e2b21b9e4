#include "churn.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "kelvo/im_client_engine.h"
#include "kelvo/im_client_pump.h"
#include "kelvo/im_client_security.h"
#include "kelvo/kelvo_core.h"
#include "stats.h"

namespace kelvo_bots {
namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}
int64_t Ns(double seconds) { return static_cast<int64_t>(seconds * 1e9); }

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The chats a cycle sends to itself start with this, so its echo is known.
constexpr char kChatTag[] = "churn ";
// Sinks a slot takes turns with: a callback that comes after its client's
// Release returned finds its sink retired (and says so) for the next few
// cycles, instead of a later cycle's.
constexpr std::size_t kSinksPerSlot = 4;

// The module, loaded by path and unloaded again on demand.
class ModuleHost {
 public:
  ~ModuleHost() { Unload(); }
  bool Load(const std::string& path, std::string* error) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char* why = dlerror();
      *error = why != nullptr ? why : "dlopen failed";
      return false;
    }
    create_ = reinterpret_cast<CreateKelvoCoreFn>(dlsym(handle_, "CreateKelvoCore"));
    if (create_ == nullptr) {
      *error = "the module has no CreateKelvoCore export";
      return false;
    }
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) file_ = resolved;
    return true;
  }
  void Unload() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
    create_ = nullptr;
  }
  // Whether the module's file is still mapped (after Unload: whether it
  // pinned itself).
  bool Mapped() const {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
      if (!file_.empty() && line.find(file_) != std::string::npos) return true;
    }
    return false;
  }
  CreateKelvoCoreFn create() const { return create_; }

 private:
  void* handle_ = nullptr;
  CreateKelvoCoreFn create_ = nullptr;
  std::string file_;
};

// Lets cycles in, or holds new ones back and waits until none runs (for an
// unload, or a quiet reading of the process).
class Gate {
 public:
  // False once the run is over.
  bool Enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return !closed_ || over_; });
    if (over_) return false;
    ++inside_;
    return true;
  }
  void Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    --inside_;
    cv_.notify_all();
  }
  // New cycles wait from now on.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  // Whether no cycle runs, within `ms`.
  bool Drained(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return inside_ == 0; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
    cv_.notify_all();
  }
  void End() {
    std::lock_guard<std::mutex> lock(mutex_);
    over_ = true;
    cv_.notify_all();
  }
  void WaitOver() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return over_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int inside_ = 0;
  bool closed_ = false;
  bool over_ = false;
};

// A host call under way, for the watchdog: which and since when.
struct CallWatch {
  std::atomic<int64_t> sinceNs{0};
  std::atomic<const char*> name{nullptr};
  std::atomic<uint64_t> cycle{0};
};

template <typename F>
auto Timed(CallWatch& w, const char* name, F&& f) {
  w.name.store(name);
  w.sinceNs.store(NowNs());
  auto result = f();
  w.sinceNs.store(0);
  return result;
}

class Churn;

// A cycle's callback object. Everything it learns goes through its
// ConnectionCheck under `mutex`; the slot's thread waits on `cv`.
class Probe final : public kelvo::IImClientSink {
 public:
  explicit Probe(Churn& churn) : churn_(churn) {}

  void Begin(uint64_t cycle, const CyclePlan& plan, kelvo::IImClient* client, uint32_t self,
             const std::array<uint8_t, 16>* digest) {
    std::lock_guard<std::mutex> lock(mutex);
    cycle_ = cycle;
    plan_ = plan;
    client_ = client;
    self_ = self;
    digest_ = digest;
    check = ConnectionCheck();
    loggedIn = false;
    loginRefused.clear();
    echoes = 0;
    releasedInCallback = false;
    claim.store(kFree);
    active_ = true;
  }
  void Retire() {
    std::lock_guard<std::mutex> lock(mutex);
    active_ = false;
    client_ = nullptr;
  }

  // Who ends the client in a callback-release cycle: the callback, or the
  // host when the callback's moment never comes. Whoever takes it first.
  static constexpr int kFree = 0, kHost = 1, kCallback = 2;
  bool Claim(int who) {
    int expected = kFree;
    return claim.compare_exchange_strong(expected, who);
  }

  std::mutex mutex;
  std::condition_variable cv;
  ConnectionCheck check;
  bool loggedIn = false;
  std::string loginRefused;
  uint32_t echoes = 0;
  bool releasedInCallback = false;
  std::atomic<int> claim{kFree};

  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t version) override {
    if (SameGuid(iid, kelvo::IID_IImClientSink) && version == kelvo::IM_INTERFACE_VERSION) {
      return static_cast<kelvo::IImClientSink*>(this);
    }
    return nullptr;
  }

  void KELVO_CALL OnConnect(uint32_t state) override;
  void KELVO_CALL OnClose(uint32_t) override;
  void KELVO_CALL OnServerInfo() override { Note("OnServerInfo"); }
  void KELVO_CALL OnLoginResult(uint32_t result, const char* text) override;
  void KELVO_CALL OnLogout() override { Note("OnLogout"); }
  void KELVO_CALL OnAddUserResult(uint32_t, const kelvo::UserRecord*) override {
    Note("OnAddUserResult");
  }
  void KELVO_CALL OnRemoveUserResult(uint32_t, uint32_t) override { Note("OnRemoveUserResult"); }
  void KELVO_CALL OnAddGroupResult(uint32_t, const kelvo::GroupRecord*) override {
    Note("OnAddGroupResult");
  }
  void KELVO_CALL OnDeleteGroupResult(uint32_t, uint32_t) override { Note("OnDeleteGroupResult"); }
  void KELVO_CALL OnUpdateGroupResult(uint32_t, uint32_t) override { Note("OnUpdateGroupResult"); }
  void KELVO_CALL OnMoveUserResult(uint32_t, uint32_t) override { Note("OnMoveUserResult"); }
  void KELVO_CALL OnChatMessage(kelvo::MessageKind kind, uint32_t sender, const char* text,
                                uint8_t, uint8_t, uint8_t) override;
  void KELVO_CALL OnChatMessageEx(kelvo::MessageKind, uint32_t, double, const char*, uint8_t,
                                  uint8_t, uint8_t) override {
    Note("OnChatMessageEx");
  }
  void KELVO_CALL OnOfflineMessage(kelvo::MessageKind, uint32_t, double, const char*, uint8_t,
                                   uint8_t, uint8_t, const void*, uint32_t) override {
    Note("OnOfflineMessage");
  }
  void KELVO_CALL OnAddUserRequest(uint32_t) override { Note("OnAddUserRequest"); }
  void KELVO_CALL OnAddUserReply(uint32_t, const kelvo::UserRecord*) override {
    Note("OnAddUserReply");
  }
  void KELVO_CALL OnOnlineStateChanged(uint32_t) override { Note("OnOnlineStateChanged"); }
  void KELVO_CALL OnUserEnterGameServer(uint32_t) override { Note("OnUserEnterGameServer"); }
  void KELVO_CALL OnUserLeaveGameServer(uint32_t) override { Note("OnUserLeaveGameServer"); }
  void KELVO_CALL OnLog(const char* text) override;
  void KELVO_CALL OnSearchUserResult(const kelvo::SearchUserResult*) override {
    Note("OnSearchUserResult");
  }
  void KELVO_CALL OnSearchUserListItem(const kelvo::UserRecord*) override {
    Note("OnSearchUserListItem");
  }
  void KELVO_CALL OnSearchUserListEnd(uint32_t) override { Note("OnSearchUserListEnd"); }
  bool KELVO_CALL OnEnumUser(uint32_t, const kelvo::UserRecord*) override {
    Note("OnEnumUser");
    return true;
  }
  bool KELVO_CALL OnEnumAddRequest(uint32_t, const kelvo::UserRecord*) override {
    Note("OnEnumAddRequest");
    return true;
  }
  bool KELVO_CALL OnEnumGroup(uint32_t, const kelvo::GroupRecord*) override {
    Note("OnEnumGroup");
    return true;
  }

  // Chats to itself, from the host's thread or a callback.
  uint32_t SendChats(kelvo::IImClient* client, uint32_t count);

 private:
  // A callback with nothing to do but be checked. False when the sink is
  // retired (the call is counted as a stray).
  bool Note(const char* name);
  bool Stray(const char* name);
  // Release inside this callback, if the plan says so and the host has not
  // taken over.
  void ReleaseHere(CallbackSpot spot);

  Churn& churn_;
  uint64_t cycle_ = 0;
  CyclePlan plan_;
  kelvo::IImClient* client_ = nullptr;
  uint32_t self_ = 0;
  const std::array<uint8_t, 16>* digest_ = nullptr;
  bool active_ = false;
};

struct Slot {
  uint32_t index = 0;
  const Account* account = nullptr;
  std::array<uint8_t, 16> digest{};
  std::array<std::unique_ptr<Probe>, kSinksPerSlot> probes;
  std::size_t nextProbe = 0;
  CallWatch watch;
  std::thread thread;
};

// A reading of the process at a tenth of the run.
struct Mark {
  int percent = 0;
  uint64_t cycles = 0;
  double seconds = 0;
  ProcessReading process;
};

class Churn {
 public:
  Churn(const ChurnOptions& options, const std::vector<Account>& accounts)
      : options_(options),
        accounts_(accounts),
        plan_(options.seed, options.modes, options.ends) {}

  int Run();

  // Called by the probes.
  void Problem(uint64_t cycle, const std::string& what);
  void Stray(const char* name) {
    strays_.fetch_add(1);
    Problem(0, std::string(name) + " on a retired sink (a callback after its cycle ended)");
  }
  // Cycle n's plan, as run: with --no-release-while-pumping a shared-pump
  // cycle never releases inside a callback (which runs inside the pump).
  CyclePlan PlanFor(uint64_t cycle) const {
    CyclePlan p = plan_.For(cycle);
    if (options_.releaseApartFromPump && p.mode == ChurnMode::kSharedPump &&
        p.end == ChurnEnd::kCallbackRelease) {
      p.end = ChurnEnd::kRelease;
    }
    return p;
  }

 private:
  void SlotLoop(Slot& slot);
  void Wake();
  void RunCycle(Slot& slot, uint64_t cycle);
  // Waits until `done` holds or `deadlineNs` passes, delivering for a pump
  // mode client of the slot's own. `pump` null: someone else delivers.
  bool Wait(Slot& slot, Probe& probe, kelvo::IImClientPump* pump,
            const std::function<bool()>& done, int64_t deadlineNs);
  void PumperLoop();
  void MakeAnchor();
  void DropAnchor();
  void Unload();
  Mark Reading(int percent);
  void Watchdog();
  void PrintMark(const Mark& m, const char* label);
  // How far the run is, 0 to 1, by cycles or time, whichever is further.
  double Progress() const;

  const ChurnOptions& options_;
  const std::vector<Account>& accounts_;
  ChurnPlan plan_;
  ModuleHost module_;
  Gate gate_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::atomic<uint64_t> nextCycle_{1};
  std::atomic<uint64_t> done_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> pumperStop_{false};
  // The cycle count at which the next unload or reading falls.
  std::atomic<uint64_t> barrier_{UINT64_MAX};
  std::mutex wakeMutex_;
  std::condition_variable wakeCv_;
  bool wake_ = false;
  int64_t startNs_ = 0;

  // The pump thread of the shared-pump clients and the client whose
  // engine face it calls (never connected, so it keeps nothing running).
  bool pumper_ = false;
  std::thread pumperThread_;
  std::mutex anchorMutex_;
  // Threads waiting to hold the pump off (PumpHold): the pump thread lets
  // them in before it takes its next turn.
  std::atomic<int> holdsWanted_{0};
  class PumpHold {
   public:
    PumpHold(Churn& churn, bool hold) : churn_(churn), lock_(churn.anchorMutex_, std::defer_lock) {
      if (!hold) return;
      churn_.holdsWanted_.fetch_add(1);
      lock_.lock();
      churn_.holdsWanted_.fetch_sub(1);
    }

   private:
    Churn& churn_;
    std::unique_lock<std::mutex> lock_;
  };
  kelvo::IImClient* anchor_ = nullptr;
  kelvo::IImClientEngine* anchorEngine_ = nullptr;
  CallWatch pumperWatch_;

  // Tallies.
  std::mutex tallyMutex_;
  std::map<std::string, uint64_t> reasons_;      // by kind
  std::map<std::string, uint64_t> ends_;         // how cycles ended
  std::vector<std::string> problemList_;
  std::atomic<uint64_t> problems_{0};
  std::atomic<uint64_t> strays_{0};
  std::atomic<uint64_t> loggedIn_{0};
  std::atomic<uint64_t> serverEnded_{0};     // OnClose: the connection ended by itself
  std::atomic<uint64_t> failedAttempts_{0};  // OnConnect(0)
  std::atomic<uint64_t> reasonLines_{0};
  std::atomic<uint64_t> echoes_{0};
  std::atomic<uint64_t> diagnostics_{0};     // other OnLog lines
  uint64_t unloads_ = 0, unmapped_ = 0;
  std::array<std::atomic<uint64_t>, kChurnModeCount> byMode_{};

  ProcessReading start_, end_;
  std::vector<Mark> marks_;
  friend class Probe;
};

// ---------------------------------------------------------------------------
// Probe

bool Probe::Stray(const char* name) {
  churn_.Stray(name);
  return false;
}

bool Probe::Note(const char* name) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!active_) return Stray(name);
  check.Callback(name);
  cv.notify_all();
  return true;
}

void KELVO_CALL Probe::OnConnect(uint32_t state) {
  kelvo::IImClient* client;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!active_) {
      Stray("OnConnect");
      return;
    }
    check.Connected(state);
    cv.notify_all();
    client = client_;
  }
  if (state == 1 && !client->Login(self_, digest_->data(), nullptr)) {
    churn_.Problem(cycle_, "Login refused by the client right after OnConnect(1)");
  }
}

void KELVO_CALL Probe::OnClose(uint32_t) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!active_) {
    Stray("OnClose");
    return;
  }
  check.Closed();
  cv.notify_all();
}

uint32_t Probe::SendChats(kelvo::IImClient* client, uint32_t count) {
  uint32_t sent = 0;
  for (uint32_t i = 0; i < count; ++i) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%u", kChatTag, i);
    if (client->SendChatMessage(self_, 0, text, 0, 0, 0)) ++sent;
  }
  return sent;
}

void Probe::ReleaseHere(CallbackSpot spot) {
  if (plan_.end != ChurnEnd::kCallbackRelease || plan_.spot != spot || !Claim(kCallback)) return;
  client_->Release();
  std::lock_guard<std::mutex> lock(mutex);
  check.Released();
  releasedInCallback = true;
  cv.notify_all();
}

void KELVO_CALL Probe::OnLoginResult(uint32_t result, const char* text) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!active_) {
      Stray("OnLoginResult");
      return;
    }
    check.Callback("OnLoginResult");
    if (result == 1) {
      loggedIn = true;
    } else {
      loginRefused = text != nullptr ? text : "";
    }
    cv.notify_all();
  }
  if (result != 1 || plan_.end != ChurnEnd::kCallbackRelease) return;
  // The host keeps its hands off a client that a callback may release: the
  // chats go out from here.
  if (plan_.spot == CallbackSpot::kChatMessage) SendChats(client_, plan_.chats);
  ReleaseHere(CallbackSpot::kLoginResult);
}

void KELVO_CALL Probe::OnChatMessage(kelvo::MessageKind kind, uint32_t sender, const char* text,
                                     uint8_t, uint8_t, uint8_t) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!active_) {
      Stray("OnChatMessage");
      return;
    }
    check.Callback("OnChatMessage");
    if (kind == kelvo::MESSAGE_KIND_CHAT && sender == self_ && text != nullptr &&
        std::strncmp(text, kChatTag, sizeof kChatTag - 1) == 0) {
      ++echoes;
    }
    cv.notify_all();
  }
  ReleaseHere(CallbackSpot::kChatMessage);
}

void KELVO_CALL Probe::OnLog(const char* text) {
  std::lock_guard<std::mutex> lock(mutex);
  if (!active_) {
    Stray("OnLog");
    return;
  }
  if (IsReasonLine(text)) {
    check.Reason(text);
  } else {
    check.Callback("OnLog");
    churn_.diagnostics_.fetch_add(1);
  }
  cv.notify_all();
}

// ---------------------------------------------------------------------------
// Churn

void Churn::Problem(uint64_t cycle, const std::string& what) {
  problems_.fetch_add(1);
  std::lock_guard<std::mutex> lock(tallyMutex_);
  if (problemList_.size() >= 20) return;
  std::string line = what;
  if (cycle != 0) {
    line = "cycle " + std::to_string(cycle) + " (" + plan_.Describe(PlanFor(cycle)) +
           "): " + what;
  }
  problemList_.push_back(line);
  if (!options_.quiet) std::fprintf(stderr, "kelvo-bots: problem: %s\n", line.c_str());
}

bool Churn::Wait(Slot& slot, Probe& probe, kelvo::IImClientPump* pump,
                 const std::function<bool()>& done, int64_t deadlineNs) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(probe.mutex);
      if (done()) return true;
      if (NowNs() >= deadlineNs) return false;
      // A client released inside a callback is the callback's to end: no
      // more calls into it.
      if (pump == nullptr || probe.releasedInCallback) {
        probe.cv.wait_for(lock, std::chrono::milliseconds(5));
        continue;
      }
    }
    Timed(slot.watch, "WaitForEvents", [&] { return pump->WaitForEvents(5); });
    Timed(slot.watch, "Pump", [&] { return pump->Pump(256); });
  }
}

void Churn::RunCycle(Slot& slot, uint64_t cycle) {
  const CyclePlan plan = PlanFor(cycle);
  slot.watch.cycle.store(cycle);
  byMode_[static_cast<std::size_t>(plan.mode)].fetch_add(1);
  Probe& probe = *slot.probes[slot.nextProbe];
  slot.nextProbe = (slot.nextProbe + 1) % kSinksPerSlot;
  CallWatch& w = slot.watch;

  auto* client = Timed(w, "CreateKelvoCore", [&] {
    return static_cast<kelvo::IImClient*>(
        module_.create()(&kelvo::IID_IImClient, kelvo::IM_INTERFACE_VERSION));
  });
  if (client == nullptr) {
    Problem(cycle, "CreateKelvoCore returned null");
    return;
  }
  auto face = [&](const GUID& iid, uint32_t version) {
    return client->QueryInterface(iid, version);
  };
  auto* engine = static_cast<kelvo::IImClientEngine*>(
      face(kelvo::IID_IImClientEngine, kelvo::IM_ENGINE_INTERFACE_VERSION));
  auto* pump = static_cast<kelvo::IImClientPump*>(
      face(kelvo::IID_IImClientPump, kelvo::IM_PUMP_INTERFACE_VERSION));
  std::string setup;
  const bool shared = plan.mode == ChurnMode::kShared || plan.mode == ChurnMode::kSharedPump;
  const bool pumped = plan.mode == ChurnMode::kPump || plan.mode == ChurnMode::kSharedPump;
  if (shared && (engine == nullptr || !engine->UseSharedLoop(1))) setup = "the shared loop refused";
  if (pumped && (pump == nullptr || !pump->SetDeliveryMode(kelvo::KELVO_DELIVERY_PUMP))) {
    setup = "pump mode refused";
  }
  if (!options_.tlsCa.empty() || !options_.proxyUser.empty()) {
    auto* sec = static_cast<kelvo::IImClientSecurity*>(
        face(kelvo::IID_IImClientSecurity, kelvo::IM_SECURITY_INTERFACE_VERSION));
    if (sec == nullptr) {
      setup = "no security face";
    } else {
      if (!options_.tlsCa.empty() && (!sec->SetTlsServerName(options_.tlsServerName.c_str()) ||
                                      !sec->SetTlsTrustCaFile(options_.tlsCa.c_str()) ||
                                      !sec->SetTlsMode(kelvo::KELVO_TLS_ON))) {
        setup = "TLS settings refused";
      }
      if (!options_.proxyUser.empty() &&
          !sec->SetProxyCredentials(options_.proxyUser.c_str(), options_.proxyPassword.c_str())) {
        setup = "proxy credentials refused";
      }
    }
  }
  probe.Begin(cycle, plan, client, slot.account->id, &slot.digest);
  if (setup.empty() && !client->SetSink(&probe)) setup = "SetSink refused";
  if (setup.empty() &&
      !Timed(w, "Connect", [&] { return StartAttempt(client, options_.server, options_.proxy); })) {
    setup = "Connect returned false";
  }
  if (!setup.empty()) {
    Problem(cycle, "setup: " + setup);
    Timed(w, "Release", [&] { return client->Release(); });
    probe.Retire();
    return;
  }

  // The slot's thread delivers only for a pump-mode client on its own
  // thread; the others' callbacks come on their loop or the pump thread.
  kelvo::IImClientPump* const myPump = plan.mode == ChurnMode::kPump ? pump : nullptr;
  const int64_t loginDeadline = NowNs() + Ns(options_.timeout);
  auto settled = [&] {
    return probe.loggedIn || probe.check.ended() || !probe.loginRefused.empty() ||
           probe.releasedInCallback;
  };
  auto noteStuck = [&](const char* what) {
    Problem(cycle, std::string("stuck: ") + what + " within " + std::to_string(options_.timeout) +
                       " s, neither logged in nor ended");
  };
  std::string how;  // how the cycle ended, for the tally

  // With --no-release-while-pumping the pump thread is held off while a
  // shared-pump client is closed or released.
  const bool apart = options_.releaseApartFromPump && plan.mode == ChurnMode::kSharedPump;
  auto hostClose = [&] {
    {
      PumpHold hold(*this, apart);
      Timed(w, "Close", [&] { return client->Close(); });
    }
    std::lock_guard<std::mutex> lock(probe.mutex);
    probe.check.HostClosed();
  };
  auto hostRelease = [&] {
    {
      PumpHold hold(*this, apart);
      Timed(w, "Release", [&] { return client->Release(); });
    }
    std::lock_guard<std::mutex> lock(probe.mutex);
    probe.check.Released();
  };
  auto loggedInNow = [&] {
    std::lock_guard<std::mutex> lock(probe.mutex);
    return probe.loggedIn && !probe.check.ended();
  };

  if (plan.end == ChurnEnd::kCallbackRelease) {
    // No host call from here on unless the host takes the client over
    // (Claim): a callback may release it at any moment.
    if (!Wait(slot, probe, myPump, settled, loginDeadline)) noteStuck("no login answer");
    const int64_t chatDeadline = NowNs() + Ns(options_.chatWait);
    Wait(slot, probe, myPump, [&] { return probe.releasedInCallback || probe.check.ended(); },
         chatDeadline);
    if (probe.Claim(Probe::kHost)) {
      // Its moment never came (no echo, the connection ended first).
      how = "callback release not reached";
      hostRelease();
    } else {
      // The callback has it; its Release returns at once.
      if (!Wait(slot, probe, nullptr, [&] { return probe.releasedInCallback; },
                NowNs() + Ns(options_.hangSeconds))) {
        Problem(cycle, "the callback's Release did not return");
      }
      how = std::string("released in ") + CallbackSpotName(plan.spot);
    }
  } else {
    if (plan.stage != ChurnStage::kConnecting &&
        !Wait(slot, probe, myPump, settled, loginDeadline)) {
      noteStuck("no login answer");
    }
    if (plan.stage == ChurnStage::kChatted && loggedInNow()) {
      const uint32_t sent =
          Timed(w, "SendChatMessage", [&] { return probe.SendChats(client, plan.chats); });
      Wait(slot, probe, myPump, [&] { return probe.echoes >= sent || probe.check.ended(); },
           NowNs() + Ns(options_.chatWait));
    }
    switch (plan.end) {
      case ChurnEnd::kClose:
        how = "close";
        hostClose();
        hostRelease();
        break;
      case ChurnEnd::kRelease:
        how = "release";
        hostRelease();
        break;
      case ChurnEnd::kServerDrop: {
        const bool dropped = Wait(slot, probe, myPump, [&] { return probe.check.ended(); },
                                  NowNs() + Ns(options_.dropWait));
        how = dropped ? "server drop" : "server kept it";
        if (!dropped && options_.expectDrops) {
          Problem(cycle, "the server did not drop the connection within " +
                             std::to_string(options_.dropWait) + " s");
        }
        if (!dropped) hostClose();
        hostRelease();
        break;
      }
      case ChurnEnd::kCallbackRelease:
        break;
    }
  }

  // The verdict on what the connection said.
  ConnectionCheck check;
  bool loggedIn;
  std::string refused;
  uint32_t echoes;
  {
    std::lock_guard<std::mutex> lock(probe.mutex);
    probe.check.Finish();
    check = probe.check;
    loggedIn = probe.loggedIn;
    refused = probe.loginRefused;
    echoes = probe.echoes;
  }
  probe.Retire();
  if (options_.verbose) {
    std::fprintf(stderr, "cycle %" PRIu64 " (%s): %s, %u echo(es), %s; %s\n", cycle,
                 plan_.Describe(plan).c_str(), loggedIn ? "logged in" : "not logged in", echoes,
                 how.c_str(),
                 check.endReason().empty() ? "no end report"
                                           : ReasonText(check.endReason()).c_str());
  }
  for (const std::string& p : check.problems()) Problem(cycle, p);
  if (!refused.empty()) Problem(cycle, "login refused: " + refused);
  if (loggedIn) loggedIn_.fetch_add(1);
  echoes_.fetch_add(echoes);
  reasonLines_.fetch_add(static_cast<uint64_t>(check.reasonLines()));
  if (check.failedAttempt()) {
    failedAttempts_.fetch_add(1);
  } else if (check.ended()) {
    serverEnded_.fetch_add(1);
  }
  std::lock_guard<std::mutex> lock(tallyMutex_);
  ++ends_[how];
  if (!check.endReason().empty()) ++reasons_[ReasonKind(check.endReason())];
}

void Churn::SlotLoop(Slot& slot) {
  for (;;) {
    if (!gate_.Enter()) return;
    const uint64_t cycle = nextCycle_.fetch_add(1);
    if (stop_.load() || (options_.cycles != 0 && cycle > options_.cycles)) {
      stop_.store(true);
      gate_.Leave();
      Wake();
      // The thread stays until the end, so the last reading is taken as
      // the others were.
      gate_.WaitOver();
      return;
    }
    RunCycle(slot, cycle);
    const uint64_t done = done_.fetch_add(1) + 1;
    gate_.Leave();
    // An unload or a reading is due: no new cycle until it is done.
    if (done >= barrier_.load()) {
      gate_.Close();
      Wake();
    }
  }
}

void Churn::Wake() {
  std::lock_guard<std::mutex> lock(wakeMutex_);
  wake_ = true;
  wakeCv_.notify_all();
}

void Churn::MakeAnchor() {
  if (!pumper_) return;
  std::lock_guard<std::mutex> lock(anchorMutex_);
  anchor_ = static_cast<kelvo::IImClient*>(
      module_.create()(&kelvo::IID_IImClient, kelvo::IM_INTERFACE_VERSION));
  anchorEngine_ = anchor_ == nullptr ? nullptr
                                     : static_cast<kelvo::IImClientEngine*>(anchor_->QueryInterface(
                                           kelvo::IID_IImClientEngine,
                                           kelvo::IM_ENGINE_INTERFACE_VERSION));
}

void Churn::DropAnchor() {
  std::lock_guard<std::mutex> lock(anchorMutex_);
  if (anchor_ != nullptr) anchor_->Release();
  anchor_ = nullptr;
  anchorEngine_ = nullptr;
}

void Churn::PumperLoop() {
  while (!pumperStop_.load()) {
    if (holdsWanted_.load() != 0) {
      std::this_thread::yield();
      continue;
    }
    std::unique_lock<std::mutex> lock(anchorMutex_);
    if (anchorEngine_ == nullptr) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    Timed(pumperWatch_, "WaitSharedLoop", [&] { return anchorEngine_->WaitSharedLoop(5); });
    Timed(pumperWatch_, "PumpSharedLoop", [&] { return anchorEngine_->PumpSharedLoop(256); });
  }
}

void Churn::Unload() {
  DropAnchor();
  module_.Unload();
  ++unloads_;
  if (!module_.Mapped()) ++unmapped_;
  std::string error;
  if (!module_.Load(options_.libraryPath, &error)) {
    std::fprintf(stderr, "kelvo-bots: cannot load %s again: %s\n", options_.libraryPath.c_str(),
                 error.c_str());
    std::fflush(stderr);
    _exit(1);
  }
  MakeAnchor();
}

double Churn::Progress() const {
  double p = 0;
  if (options_.cycles != 0) {
    p = static_cast<double>(done_.load()) / static_cast<double>(options_.cycles);
  }
  if (options_.seconds > 0) {
    p = std::max(p, static_cast<double>(NowNs() - startNs_) / 1e9 / options_.seconds);
  }
  return std::min(p, 1.0);
}

// The process once the connections that were closing have gone: a closed
// connection may flush for up to two seconds, on the loop, and a network
// thread takes a moment to be joined.
Mark Churn::Reading(int percent) {
  Mark m;
  m.percent = percent;
  m.cycles = done_.load();
  m.seconds = static_cast<double>(NowNs() - startNs_) / 1e9;
  const long wantFds = marks_.empty() ? 0 : marks_.front().process.descriptors;
  const long wantThreads = marks_.empty() ? 0 : marks_.front().process.threads;
  const int64_t until = NowNs() + Ns(3);
  do {
    m.process = ReadProcess();
    if (marks_.empty() ||
        (m.process.descriptors <= wantFds && m.process.threads <= wantThreads)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (NowNs() < until);
  return m;
}

void Churn::PrintMark(const Mark& m, const char* label) {
  if (options_.quiet) return;
  std::fprintf(stderr,
               "[%s] %8" PRIu64 " cycles %8.1f s  VmRSS %7ld KiB  descriptors %4ld  threads %4ld"
               "  problems %" PRIu64 "\n",
               label, m.cycles, m.seconds, m.process.rssKib, m.process.descriptors,
               m.process.threads, problems_.load());
  std::fflush(stderr);
}

void Churn::Watchdog() {
  const int64_t now = NowNs();
  auto hung = [&](const CallWatch& w, const std::string& who) {
    const int64_t since = w.sinceNs.load();
    if (since == 0 || now - since < Ns(options_.hangSeconds)) return;
    const uint64_t cycle = w.cycle.load();
    std::fprintf(stderr,
                 "kelvo-bots: HANG: %s: %s has not returned for %.0f s (cycle %" PRIu64
                 ": %s)\n  reproduce: %s\n",
                 who.c_str(), w.name.load(), static_cast<double>(now - since) / 1e9, cycle,
                 cycle != 0 ? plan_.Describe(PlanFor(cycle)).c_str() : "-",
                 options_.commandLine.c_str());
    std::fflush(stderr);
    std::printf("{\"hang\":true}\n");
    std::fflush(stdout);
    _exit(1);
  };
  for (const auto& s : slots_) hung(s->watch, "slot " + std::to_string(s->index));
  hung(pumperWatch_, "the shared loop's pump thread");
}

std::string JsonCounts(const std::map<std::string, uint64_t>& counts) {
  std::string j = "{";
  for (const auto& [k, v] : counts) {
    j += (j.size() > 1 ? "," : "") + JsonString(k) + ":" + std::to_string(v);
  }
  return j + "}";
}

int Churn::Run() {
  std::string error;
  if (!module_.Load(options_.libraryPath, &error)) {
    std::fprintf(stderr, "kelvo-bots: cannot load %s: %s\n", options_.libraryPath.c_str(),
                 error.c_str());
    return 2;
  }
  pumper_ = std::find(options_.modes.begin(), options_.modes.end(), ChurnMode::kSharedPump) !=
            options_.modes.end();
  start_ = ReadProcess();
  startNs_ = NowNs();
  {
    Mark m;
    m.process = start_;
    PrintMark(m, "start");
  }

  for (uint32_t i = 0; i < options_.slots; ++i) {
    auto slot = std::make_unique<Slot>();
    slot->index = i;
    slot->account = &accounts_[i];
    if (!PasswordDigest(slot->account->password, &slot->digest)) {
      std::fprintf(stderr, "kelvo-bots: cannot compute MD5 digests\n");
      return 2;
    }
    for (auto& p : slot->probes) p = std::make_unique<Probe>(*this);
    slots_.push_back(std::move(slot));
  }
  // The first reading of a tenth comes with everything of the run's own in
  // place (its threads, the pump's anchor) and no cycle yet.
  gate_.Close();
  MakeAnchor();
  if (pumper_ && anchorEngine_ == nullptr) {
    std::fprintf(stderr, "kelvo-bots: the module offers no shared loop for shared-pump\n");
    return 2;
  }
  for (auto& s : slots_) {
    Slot* slot = s.get();
    s->thread = std::thread([this, slot] { SlotLoop(*slot); });
  }
  if (pumper_) pumperThread_ = std::thread([this] { PumperLoop(); });
  marks_.push_back(Reading(0));
  startNs_ = NowNs();
  gate_.Open();

  int nextPercent = 10;
  uint64_t nextUnload = options_.unloadEvery;
  auto setBarrier = [&] {
    uint64_t at = options_.unloadEvery != 0 ? nextUnload : UINT64_MAX;
    if (options_.cycles != 0) {
      const uint64_t mark = (options_.cycles * static_cast<uint64_t>(nextPercent) + 99) / 100;
      at = std::min(at, mark);
    }
    barrier_.store(at);
  };
  setBarrier();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(wakeMutex_);
      wakeCv_.wait_for(lock, std::chrono::milliseconds(50), [&] { return wake_; });
      wake_ = false;
    }
    Watchdog();
    const double progress = Progress();
    const bool over = stop_.load() || progress >= 1.0;
    const bool markDue = progress * 100 >= nextPercent;
    const bool unloadDue = options_.unloadEvery != 0 && done_.load() >= nextUnload && !over;
    if (!markDue && !unloadDue && !over) {
      // A slot may have closed the gate for a barrier already passed.
      gate_.Open();
      continue;
    }
    if (over) stop_.store(true);
    // Cycles under way finish; nobody starts one. The watchdog keeps
    // watching meanwhile.
    gate_.Close();
    while (!gate_.Drained(50)) Watchdog();
    if (unloadDue) {
      Unload();
      while (nextUnload <= done_.load()) nextUnload += options_.unloadEvery;
    }
    if (markDue || over) {
      const int percent = over ? 100 : nextPercent;
      marks_.push_back(Reading(percent));
      char label[8];
      std::snprintf(label, sizeof label, "%3d%%", percent);
      PrintMark(marks_.back(), label);
      while (nextPercent <= percent) nextPercent += 10;
      if (over && marks_.back().percent != 100) marks_.back().percent = 100;
    }
    if (over) break;
    setBarrier();
    gate_.Open();
  }
  gate_.End();
  for (auto& s : slots_) s->thread.join();
  pumperStop_.store(true);
  if (pumperThread_.joinable()) pumperThread_.join();
  DropAnchor();
  const double runSeconds = static_cast<double>(NowNs() - startNs_) / 1e9;

  // Back where it started: every descriptor and thread of the run gone.
  const int64_t until = NowNs() + Ns(5);
  do {
    end_ = ReadProcess();
    if (end_.descriptors <= start_.descriptors && end_.threads <= start_.threads) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (NowNs() < until);
  {
    Mark m;
    m.cycles = done_.load();
    m.seconds = runSeconds;
    m.process = end_;
    PrintMark(m, " end");
  }

  std::vector<std::string> failures;
  if (problems_.load() != 0) failures.push_back(std::to_string(problems_.load()) + " problem(s)");
  // A run where nothing got in has tested nothing (a wrong address or
  // proxy, say): the failed attempts' reasons say why.
  if (done_.load() != 0 && loggedIn_.load() == 0) failures.push_back("no cycle logged in");
  if (end_.descriptors != start_.descriptors) {
    failures.push_back("descriptors " + std::to_string(start_.descriptors) + " at the start, " +
                       std::to_string(end_.descriptors) + " at the end");
  }
  if (end_.threads != start_.threads) {
    failures.push_back("threads " + std::to_string(start_.threads) + " at the start, " +
                       std::to_string(end_.threads) + " at the end");
  }
  // Memory from the level after the first tenth on: the marks after it,
  // each taken with no cycle under way.
  const Mark* tenth = nullptr;
  long maxAfter = 0;
  for (const Mark& m : marks_) {
    if (m.percent == 10 && tenth == nullptr) {
      tenth = &m;
    } else if (tenth != nullptr) {
      maxAfter = std::max(maxAfter, m.process.rssKib);
    }
  }
  const long growth = tenth != nullptr && maxAfter > 0 ? maxAfter - tenth->process.rssKib : 0;
  if (growth > options_.maxGrowthKib) {
    failures.push_back("resident memory grew " + std::to_string(growth) + " KiB after the first " +
                       "tenth, more than the " + std::to_string(options_.maxGrowthKib) +
                       " KiB allowed");
  }
  const bool passed = failures.empty();

  const uint64_t cycles = done_.load();
  std::lock_guard<std::mutex> lock(tallyMutex_);
  if (options_.json) {
    std::string j = "{";
    j += "\"cycles\":" + std::to_string(cycles);
    j += ",\"run_s\":" + std::to_string(runSeconds);
    j += ",\"slots\":" + std::to_string(options_.slots);
    j += ",\"seed\":" + std::to_string(options_.seed);
    j += ",\"server\":" + JsonString(options_.serverText);
    j += ",\"tls\":" + std::string(options_.tlsCa.empty() ? "false" : "true");
    std::map<std::string, uint64_t> modes;
    for (std::size_t i = 0; i < kChurnModeCount; ++i) {
      const uint64_t n = byMode_[i].load();
      if (n != 0) modes[ChurnModeName(static_cast<ChurnMode>(i))] = n;
    }
    j += ",\"modes\":" + JsonCounts(modes);
    j += ",\"ends\":" + JsonCounts(ends_);
    j += ",\"logged_in\":" + std::to_string(loggedIn_.load());
    j += ",\"echoes\":" + std::to_string(echoes_.load());
    j += ",\"server_ended\":" + std::to_string(serverEnded_.load());
    j += ",\"failed_attempts\":" + std::to_string(failedAttempts_.load());
    j += ",\"reason_lines\":" + std::to_string(reasonLines_.load());
    j += ",\"reasons\":" + JsonCounts(reasons_);
    j += ",\"diagnostics\":" + std::to_string(diagnostics_.load());
    j += ",\"unloads\":" + std::to_string(unloads_);
    j += ",\"unmapped\":" + std::to_string(unmapped_);
    j += ",\"marks\":[";
    for (std::size_t i = 0; i < marks_.size(); ++i) {
      const Mark& m = marks_[i];
      j += std::string(i == 0 ? "" : ",") + "{\"percent\":" + std::to_string(m.percent) +
           ",\"cycles\":" + std::to_string(m.cycles) +
           ",\"rss_kib\":" + std::to_string(m.process.rssKib) +
           ",\"descriptors\":" + std::to_string(m.process.descriptors) +
           ",\"threads\":" + std::to_string(m.process.threads) + "}";
    }
    j += "]";
    j += ",\"start\":{\"rss_kib\":" + std::to_string(start_.rssKib) +
         ",\"descriptors\":" + std::to_string(start_.descriptors) +
         ",\"threads\":" + std::to_string(start_.threads) + "}";
    j += ",\"end\":{\"rss_kib\":" + std::to_string(end_.rssKib) +
         ",\"descriptors\":" + std::to_string(end_.descriptors) +
         ",\"threads\":" + std::to_string(end_.threads) + "}";
    j += ",\"growth_kib\":" + std::to_string(growth);
    j += ",\"max_growth_kib\":" + std::to_string(options_.maxGrowthKib);
    j += ",\"problems\":" + std::to_string(problems_.load());
    j += ",\"strays\":" + std::to_string(strays_.load());
    j += ",\"problem_list\":[";
    for (std::size_t i = 0; i < problemList_.size(); ++i) {
      j += (i == 0 ? "" : ",") + JsonString(problemList_[i]);
    }
    j += "],\"failures\":[";
    for (std::size_t i = 0; i < failures.size(); ++i) {
      j += (i == 0 ? "" : ",") + JsonString(failures[i]);
    }
    j += "],\"passed\":" + std::string(passed ? "true" : "false") + "}\n";
    std::fputs(j.c_str(), stdout);
    std::fflush(stdout);
    return passed ? 0 : 1;
  }
  std::printf("kelvo-bots churn: %" PRIu64 " cycles in %.1f s against %s, %u at once, seed %" PRIu64
              "\n",
              cycles, runSeconds, options_.serverText.c_str(), options_.slots, options_.seed);
  std::printf("  modes       ");
  for (std::size_t i = 0; i < kChurnModeCount; ++i) {
    std::printf("%s %" PRIu64 "%s", ChurnModeName(static_cast<ChurnMode>(i)), byMode_[i].load(),
                i + 1 < kChurnModeCount ? ", " : "\n");
  }
  std::printf("  ends       ");
  for (const auto& [k, v] : ends_) std::printf(" %s %" PRIu64 ";", k.c_str(), v);
  std::printf("\n  logged in   %" PRIu64 ", chats echoed %" PRIu64 "\n", loggedIn_.load(),
              echoes_.load());
  std::printf("  ended by the connection  %" PRIu64 " lost, %" PRIu64
              " failed attempts, %" PRIu64 " reason lines\n",
              serverEnded_.load(), failedAttempts_.load(), reasonLines_.load());
  for (const auto& [k, v] : reasons_) std::printf("    %8" PRIu64 "  %s\n", v, k.c_str());
  std::printf("  unloads     %" PRIu64 " (the module's file unmapped after %" PRIu64 ")\n",
              unloads_, unmapped_);
  std::printf("  memory      VmRSS %ld KiB at the start, %ld after the first tenth, at most %ld "
              "after it: %+ld KiB (at most %ld allowed)\n",
              start_.rssKib, tenth != nullptr ? tenth->process.rssKib : 0L, maxAfter, growth,
              options_.maxGrowthKib);
  std::printf("  descriptors %ld at the start, %ld at the end; threads %ld, %ld\n",
              start_.descriptors, end_.descriptors, start_.threads, end_.threads);
  std::printf("  problems    %" PRIu64 "\n", problems_.load());
  for (const std::string& p : problemList_) std::printf("    %s\n", p.c_str());
  std::printf("  %s\n", passed ? "PASSED" : "FAILED");
  for (const std::string& f : failures) std::printf("    %s\n", f.c_str());
  std::fflush(stdout);
  return passed ? 0 : 1;
}

}  // namespace

int RunChurn(const ChurnOptions& options, const std::vector<Account>& accounts) {
  Churn churn(options, accounts);
  return churn.Run();
}

}  // namespace kelvo_bots
