#include "swarm.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "churn_check.h"
#include "descriptor_limit.h"
#include "gbk.h"
#include "kelvo/im_client_engine.h"
#include "kelvo/im_client_network.h"
#include "kelvo/im_client_pump.h"
#include "stats.h"

namespace kelvo_bots {
namespace {

using Clock = std::chrono::steady_clock;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Chats between bots carry their send time, so the answer measures the round
// trip without a table of what is outstanding: "kb ping <ns>" is answered by
// "kb pong <ns>" with the same number. Both ends are in this process (or on
// this machine: the steady clock is the system's monotonic clock).
constexpr char kPing[] = "kb ping ";
constexpr char kPong[] = "kb pong ";
constexpr std::size_t kTagSize = sizeof kPing - 1;

// kReconnecting (--reconnect): the connection was lost and the module is
// winning it back; the bot is logged in again when its login is answered.
enum class Phase : uint8_t {
  kIdle, kConnecting, kLoggingIn, kLoggedIn, kReconnecting, kFailed, kReleased
};

class Swarm;

// One simulated player: the client object and its callback object. The
// callbacks of one client never run concurrently with each other (on its
// network thread, or inside the pump), but those of different bots do in
// own-thread mode, and the driver thread calls into every client; so the
// phase is atomic and every shared count is.
class Bot final : public kelvo::IImClientSink {
 public:
  Bot(Swarm& swarm, const Account& account, const std::array<uint8_t, 16>& digest)
      : swarm_(swarm), account_(account), digest_(digest) {}

  const Account& account() const { return account_; }
  kelvo::IImClient* client = nullptr;
  std::atomic<Phase> phase{Phase::kIdle};
  int64_t deadlineNs = 0;  // driver only: when the login must have been answered
  std::atomic<bool> everLoggedIn{false};

  // Marks the bot failed, from `from` only or (kFailed) from any live phase;
  // counts it once, with `reason`. Whether this call was the one that did.
  bool Fail(const std::string& reason, Phase from = Phase::kFailed);

  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t version) override {
    if (SameGuid(iid, kelvo::IID_IImClientSink) && version == kelvo::IM_INTERFACE_VERSION) {
      return static_cast<kelvo::IImClientSink*>(this);
    }
    return nullptr;
  }

  void KELVO_CALL OnConnect(uint32_t state) override;
  void KELVO_CALL OnClose(uint32_t reason) override;
  void KELVO_CALL OnServerInfo() override {}
  void KELVO_CALL OnLoginResult(uint32_t result, const char* text) override;
  void KELVO_CALL OnLogout() override;
  void KELVO_CALL OnAddUserResult(uint32_t, const kelvo::UserRecord*) override {}
  void KELVO_CALL OnRemoveUserResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnAddGroupResult(uint32_t, const kelvo::GroupRecord*) override {}
  void KELVO_CALL OnDeleteGroupResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnUpdateGroupResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnMoveUserResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnChatMessage(kelvo::MessageKind kind, uint32_t sender, const char* text,
                                uint8_t, uint8_t, uint8_t) override;
  void KELVO_CALL OnChatMessageEx(kelvo::MessageKind, uint32_t, double, const char*, uint8_t,
                                  uint8_t, uint8_t) override;
  void KELVO_CALL OnOfflineMessage(kelvo::MessageKind, uint32_t, double, const char*, uint8_t,
                                   uint8_t, uint8_t, const void*, uint32_t) override;
  void KELVO_CALL OnAddUserRequest(uint32_t) override {}
  void KELVO_CALL OnAddUserReply(uint32_t, const kelvo::UserRecord*) override {}
  void KELVO_CALL OnOnlineStateChanged(uint32_t) override {}
  void KELVO_CALL OnUserEnterGameServer(uint32_t) override {}
  void KELVO_CALL OnUserLeaveGameServer(uint32_t) override {}
  void KELVO_CALL OnLog(const char* text) override;
  void KELVO_CALL OnSearchUserResult(const kelvo::SearchUserResult*) override {}
  void KELVO_CALL OnSearchUserListItem(const kelvo::UserRecord*) override {}
  void KELVO_CALL OnSearchUserListEnd(uint32_t) override {}
  bool KELVO_CALL OnEnumUser(uint32_t, const kelvo::UserRecord*) override { return true; }
  bool KELVO_CALL OnEnumAddRequest(uint32_t, const kelvo::UserRecord*) override { return true; }
  bool KELVO_CALL OnEnumGroup(uint32_t, const kelvo::GroupRecord*) override { return true; }

 private:
  // The reason the module gave in the OnLog line just before a failed
  // connect or a lost connection, without the address; consumed once.
  std::string TakeLinkReason();

  Swarm& swarm_;
  const Account& account_;
  const std::array<uint8_t, 16> digest_;
  std::string linkNote_;  // touched by this bot's callbacks only
};

class Swarm {
 public:
  Swarm(const Options& options, const std::vector<Account>& accounts,
        CreateKelvoCoreFn create)
      : options_(options), accounts_(accounts), create_(create) {}
  ~Swarm() { ReleaseAll(); }

  int Run();
  std::size_t Size() const { return bots_.size(); }
  bool Reconnecting() const { return options_.reconnectFirstMs != 0; }

  Counters counters;
  LatencyHistogram roundTrip;
  FailureTable failures;

 private:
  // Creates the client of bot `i` and starts its connection.
  void Start(std::size_t i);
  // A client for `bot` with the sink attached, on the shared loop and in
  // pump mode when the swarm runs there. Empty reason when it worked.
  std::string Create(Bot& bot);
  void SendChats(double seconds);
  void CheckDeadlines(int64_t now);
  void CheckDescriptors();
  // Runs callbacks for up to `waitMs`: pumps the shared loop, or sleeps
  // while the clients' own threads deliver.
  void Deliver(uint32_t waitMs);
  void Progress(double elapsed, bool final);
  void ReleaseAll();
  void PrintSummary(bool passed, double share);
  Bot* RandomLoggedIn(std::size_t except);

  const Options& options_;
  const std::vector<Account>& accounts_;
  CreateKelvoCoreFn create_;
  std::vector<std::unique_ptr<Bot>> bots_;
  bool shared_ = false;
  kelvo::IImClientEngine* pumpEngine_ = nullptr;  // bot 0's, released last
  std::size_t chatCursor_ = 0;
  double chatCredit_ = 0;
  std::mt19937 random_{12345};

  rlimit files_{};
  long fdBaseline_ = 0;
  long fdAfterFirst_ = -1;
  bool fdChecked_ = false;

  int64_t startNs_ = 0;
  int64_t firstConnectNs_ = 0;
  double releaseSeconds_ = 0;
  double runSeconds_ = 0;
  ProcessReading peak_;
  uint64_t notBack_ = 0;  // --reconnect: bots still winning their connection back at the end

  bool tty_ = false;
  double lastProgress_ = -1;
  uint64_t lastSent_ = 0, lastReceived_ = 0;
  bool progressOnLine_ = false;
};

std::string Bot::TakeLinkReason() {
  std::string line;
  line.swap(linkNote_);
  line = ReasonText(line);
  return line.empty() ? "no reason given" : line;
}

bool Bot::Fail(const std::string& reason, Phase from) {
  Phase now = phase.load();
  for (;;) {
    if (from != Phase::kFailed && now != from) return false;
    if (now == Phase::kIdle || now == Phase::kFailed || now == Phase::kReleased) return false;
    if (phase.compare_exchange_weak(now, Phase::kFailed)) break;
  }
  Counters& c = swarm_.counters;
  if (now == Phase::kLoggedIn) {
    c.loggedIn.fetch_sub(1);
  } else if (now != Phase::kReconnecting || !everLoggedIn.load()) {
    c.settled.fetch_add(1);
  }
  c.failed.fetch_add(1);
  swarm_.failures.Add(reason);
  return true;
}

void KELVO_CALL Bot::OnConnect(uint32_t state) {
  if (phase.load() == Phase::kReconnecting) {
    // The module's own attempts: a failure is followed by the next one, a
    // success by its login.
    linkNote_.clear();
    if (state != 1) swarm_.counters.reconnectFailures.fetch_add(1);
    return;
  }
  if (state != 1) {
    Fail("connect: " + TakeLinkReason(), Phase::kConnecting);
    return;
  }
  linkNote_.clear();
  Phase expected = Phase::kConnecting;
  if (!phase.compare_exchange_strong(expected, Phase::kLoggingIn)) return;
  swarm_.counters.connected.fetch_add(1);
  if (!client->Login(account_.id, digest_.data(), nullptr)) {
    Fail("login: the request was not sent", Phase::kLoggingIn);
  }
}

void KELVO_CALL Bot::OnClose(uint32_t) {
  if (swarm_.Reconnecting()) {
    // Also a connection the module won back and lost again before its
    // login was answered (the dying server's backlog took it): the module
    // starts over.
    Phase now = phase.load();
    if ((now == Phase::kLoggedIn || now == Phase::kLoggingIn || now == Phase::kReconnecting) &&
        phase.compare_exchange_strong(now, Phase::kReconnecting)) {
      if (now == Phase::kLoggedIn) swarm_.counters.loggedIn.fetch_sub(1);
      swarm_.counters.losses.fetch_add(1);
      linkNote_.clear();
      return;
    }
  }
  Fail("connection lost: " + TakeLinkReason());
}

void KELVO_CALL Bot::OnLoginResult(uint32_t result, const char* text) {
  if (result != 1) {
    Fail("login refused: " + kelvo_cli::GbkToUtf8(text != nullptr ? text : ""));
    return;
  }
  Phase expected = Phase::kLoggingIn;
  if (!phase.compare_exchange_strong(expected, Phase::kLoggedIn)) {
    expected = Phase::kReconnecting;
    if (!phase.compare_exchange_strong(expected, Phase::kLoggedIn)) return;
  }
  Counters& c = swarm_.counters;
  c.loggedIn.fetch_add(1);
  if (everLoggedIn.exchange(true)) {
    c.relogins.fetch_add(1);
    std::fprintf(stderr, "relogin %u %" PRId64 "\n", account_.id, NowNs());
    return;
  }
  const uint64_t ever = c.loggedInEver.fetch_add(1) + 1;
  c.settled.fetch_add(1);
  if (swarm_.Reconnecting() && ever == swarm_.Size()) {
    std::fprintf(stderr, "all %" PRIu64 " logged in %" PRId64 "\n", ever, NowNs());
  }
  const int64_t now = NowNs();
  int64_t last = c.lastLoginNs.load();
  while (now > last && !c.lastLoginNs.compare_exchange_weak(last, now)) {
  }
}

void KELVO_CALL Bot::OnLogout() { Fail("logged out by the server"); }

void KELVO_CALL Bot::OnChatMessage(kelvo::MessageKind kind, uint32_t sender, const char* text,
                                   uint8_t, uint8_t, uint8_t) {
  Counters& c = swarm_.counters;
  if (kind != kelvo::MESSAGE_KIND_CHAT || text == nullptr) {
    c.otherReceived.fetch_add(1);
    return;
  }
  if (std::strncmp(text, kPing, kTagSize) == 0) {
    c.pingsReceived.fetch_add(1);
    char answer[64];
    std::snprintf(answer, sizeof answer, "%s%.40s", kPong, text + kTagSize);
    if (client->SendChatMessage(sender, 0, answer, 0, 0, 0)) {
      c.answersSent.fetch_add(1);
    } else {
      c.sendRefused.fetch_add(1);
    }
  } else if (std::strncmp(text, kPong, kTagSize) == 0) {
    char* end = nullptr;
    const long long sentNs = std::strtoll(text + kTagSize, &end, 10);
    c.answersReceived.fetch_add(1);
    const int64_t took = NowNs() - sentNs;
    if (end != text + kTagSize && took >= 0) swarm_.roundTrip.Add(static_cast<uint64_t>(took) / 1000);
  } else {
    c.otherReceived.fetch_add(1);
  }
}

void KELVO_CALL Bot::OnChatMessageEx(kelvo::MessageKind, uint32_t, double, const char*, uint8_t,
                                     uint8_t, uint8_t) {
  swarm_.counters.otherReceived.fetch_add(1);
}

void KELVO_CALL Bot::OnOfflineMessage(kelvo::MessageKind, uint32_t, double, const char*, uint8_t,
                                      uint8_t, uint8_t, const void*, uint32_t) {
  swarm_.counters.otherReceived.fetch_add(1);
}

void KELVO_CALL Bot::OnLog(const char* text) {
  // The module explains a failed connect or a lost connection in one line
  // just before OnConnect(0) or OnClose, in the same delivery.
  if (IsReasonLine(text)) {
    linkNote_ = text;
    return;
  }
  swarm_.counters.diagnostics.fetch_add(1);
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Millis(uint64_t micros) { return Fixed(static_cast<double>(micros) / 1000.0, 3); }

std::string Swarm::Create(Bot& bot) {
  if (bot.client == nullptr) {
    bot.client = static_cast<kelvo::IImClient*>(
        create_(&kelvo::IID_IImClient, kelvo::IM_INTERFACE_VERSION));
  }
  kelvo::IImClient* const client = bot.client;
  if (client == nullptr) return "the module did not create a client";
  if (shared_) {
    auto* engine = static_cast<kelvo::IImClientEngine*>(
        client->QueryInterface(kelvo::IID_IImClientEngine, kelvo::IM_ENGINE_INTERFACE_VERSION));
    auto* pump = static_cast<kelvo::IImClientPump*>(
        client->QueryInterface(kelvo::IID_IImClientPump, kelvo::IM_PUMP_INTERFACE_VERSION));
    if (engine == nullptr || !engine->UseSharedLoop(1)) return "the client refused the shared loop";
    if (pump == nullptr || !pump->SetDeliveryMode(kelvo::KELVO_DELIVERY_PUMP)) {
      return "the client refused pump mode";
    }
  }
  if (!client->SetSink(&bot)) return "the client did not take the callback object";
  if (Reconnecting()) {
    auto* net = static_cast<kelvo::IImClientNetwork*>(
        client->QueryInterface(kelvo::IID_IImClientNetwork, kelvo::IM_NETWORK_INTERFACE_VERSION));
    const kelvo::KelvoReconnectPolicy policy = {options_.reconnectFirstMs, options_.reconnectCapMs,
                                                200, 0, 1};
    if (net == nullptr || !net->SetReconnect(&policy)) return "the client refused reconnection";
  }
  return "";
}

void Swarm::Start(std::size_t i) {
  Bot& bot = *bots_[i];
  bot.phase.store(Phase::kConnecting);
  counters.started.fetch_add(1);
  const int64_t now = NowNs();
  bot.deadlineNs = now + static_cast<int64_t>(options_.timeout * 1e9);
  if (firstConnectNs_ == 0) firstConnectNs_ = now;
  if (i > 0) {
    const std::string why = Create(bot);
    if (!why.empty()) {
      bot.Fail("setup: " + why, Phase::kConnecting);
      return;
    }
  }
  Endpoint server = options_.server;
  if (server.ip != 0) server.ip += static_cast<uint32_t>(i) % options_.addresses;
  if (!StartAttempt(bot.client, server, options_.proxy)) {
    // With a thread per client, this is where the process runs out of
    // threads or descriptors.
    bot.Fail("connect: the client could not start the attempt", Phase::kConnecting);
  }
}

Bot* Swarm::RandomLoggedIn(std::size_t except) {
  std::uniform_int_distribution<std::size_t> pick(0, bots_.size() - 1);
  for (int tries = 0; tries < 8; ++tries) {
    const std::size_t j = pick(random_);
    if (j != except && bots_[j]->phase.load() == Phase::kLoggedIn) return bots_[j].get();
  }
  return nullptr;
}

void Swarm::SendChats(double seconds) {
  const uint64_t online = counters.loggedIn.load();
  if (options_.chatRate <= 0 || online < 2) return;
  chatCredit_ += seconds * options_.chatRate * static_cast<double>(online);
  // Take turns over the bots, so that each one chats at about the rate
  // asked for, whoever logged in first.
  for (std::size_t scanned = 0; chatCredit_ >= 1 && scanned < bots_.size(); ++scanned) {
    chatCursor_ = (chatCursor_ + 1) % bots_.size();
    Bot& from = *bots_[chatCursor_];
    if (from.phase.load() != Phase::kLoggedIn) continue;
    Bot* to = RandomLoggedIn(chatCursor_);
    if (to == nullptr) continue;
    chatCredit_ -= 1;
    char text[48];
    std::snprintf(text, sizeof text, "%s%" PRId64, kPing, NowNs());
    if (from.client->SendChatMessage(to->account().id, 0, text, 0, 0, 0)) {
      counters.pingsSent.fetch_add(1);
    } else {
      counters.sendRefused.fetch_add(1);
    }
  }
  // Credit that found nobody to spend it is not saved up into a burst.
  chatCredit_ = std::min(chatCredit_, 1.0);
}

void Swarm::CheckDeadlines(int64_t now) {
  char timeout[32];
  std::snprintf(timeout, sizeof timeout, "%g s", options_.timeout);
  for (auto& bot : bots_) {
    const Phase phase = bot->phase.load();
    if ((phase != Phase::kConnecting && phase != Phase::kLoggingIn) || now < bot->deadlineNs) {
      continue;
    }
    const std::string what = phase == Phase::kConnecting ? "connect" : "login";
    if (bot->Fail(what + ": no answer within " + timeout, phase)) bot->client->Close();
  }
}

// The descriptor limit only bites when a few thousand clients are already
// up, which is a poor moment to find out. The first client shows what the
// loop costs once, the second what each client costs; from there the need
// for all of them is known.
void Swarm::CheckDescriptors() {
  if (fdChecked_ || bots_.size() < 3) return;
  const uint64_t connected = counters.connected.load();
  if (counters.failed.load() > 0) {
    fdChecked_ = true;  // a failure would spoil the reading
    return;
  }
  if (fdAfterFirst_ < 0) {
    if (connected >= 1) fdAfterFirst_ = CountDescriptors();
    return;
  }
  if (connected < 2) return;
  fdChecked_ = true;
  const long perClient = CountDescriptors() - fdAfterFirst_;
  const long fixed = fdAfterFirst_ - fdBaseline_ - perClient;
  const long need = fdBaseline_ + fixed + perClient * static_cast<long>(bots_.size()) + 16;
  if (perClient > 0 && need > static_cast<long>(files_.rlim_cur)) {
    std::fprintf(stderr,
                 "%skelvo-bots: the descriptor limit (%ld) is too low for %zu clients: each takes "
                 "%ld, about %ld are needed; later clients will fail (raise the hard limit, or "
                 "run fewer clients per process)\n",
                 progressOnLine_ ? "\n" : "", static_cast<long>(files_.rlim_cur), bots_.size(),
                 perClient, need);
  }
}

void Swarm::Deliver(uint32_t waitMs) {
  if (!shared_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    return;
  }
  pumpEngine_->WaitSharedLoop(waitMs);
  // Drain what is queued, in bounded turns so the driver keeps its pace.
  const auto until = Clock::now() + std::chrono::milliseconds(20);
  while (pumpEngine_->PumpSharedLoop(1024) == 1024 && Clock::now() < until) {
  }
}

void Swarm::Progress(double elapsed, bool final) {
  if (options_.quiet) return;
  const double interval = tty_ ? 0.25 : 1.0;
  if (!final && elapsed - lastProgress_ < interval) return;
  const double span = lastProgress_ < 0 ? elapsed : elapsed - lastProgress_;
  const uint64_t sent = counters.ChatsSent(), received = counters.ChatsReceived();
  const double outRate = span > 0 ? static_cast<double>(sent - lastSent_) / span : 0;
  const double inRate = span > 0 ? static_cast<double>(received - lastReceived_) / span : 0;
  lastProgress_ = elapsed;
  lastSent_ = sent;
  lastReceived_ = received;
  char line[256];
  std::snprintf(line, sizeof line,
                "[%6.1f s] connected %" PRIu64 "/%zu  logged in %" PRIu64 "  failed %" PRIu64
                "  chats/s out %.0f in %.0f",
                elapsed, counters.connected.load(), bots_.size(), counters.loggedIn.load(),
                counters.failed.load(), outRate, inRate);
  if (tty_) {
    std::fprintf(stderr, "\r%s\x1b[K%s", line, final ? "\n" : "");
    progressOnLine_ = !final;
  } else {
    std::fprintf(stderr, "%s\n", line);
  }
  std::fflush(stderr);
}

void Swarm::ReleaseAll() {
  if (bots_.empty()) return;
  const int64_t start = NowNs();
  // Bot 0 pumps the shared loop for the others; it goes last.
  for (std::size_t i = bots_.size(); i-- > 0;) {
    Bot& bot = *bots_[i];
    if (bot.client == nullptr) continue;
    Phase phase = bot.phase.load();
    while (phase != Phase::kFailed &&
           !bot.phase.compare_exchange_weak(phase, Phase::kReleased)) {
    }
    bot.client->Release();
    bot.client = nullptr;
  }
  pumpEngine_ = nullptr;
  releaseSeconds_ = static_cast<double>(NowNs() - start) / 1e9;
}

int Swarm::Run() {
  tty_ = isatty(STDERR_FILENO) != 0;
  // A client holds at least one descriptor (three on a thread of its own):
  // take what the crowd needs, and say so in words when the system will not
  // give it.
  const rlim_t need = static_cast<rlim_t>(options_.clients) * (options_.ownThreads ? 3 : 1) + 64;
  kelvo::tools::RaiseDescriptorLimit(need, "kelvo-bots");
  getrlimit(RLIMIT_NOFILE, &files_);
  fdBaseline_ = CountDescriptors();

  bots_.reserve(options_.clients);
  std::vector<std::array<uint8_t, 16>> digests(options_.clients);
  for (uint32_t i = 0; i < options_.clients; ++i) {
    if (!PasswordDigest(accounts_[i].password, &digests[i])) {
      std::fprintf(stderr, "kelvo-bots: cannot compute MD5 digests\n");
      return 2;
    }
    bots_.push_back(std::make_unique<Bot>(*this, accounts_[i], digests[i]));
  }

  // Bot 0 decides the mode: the shared loop when its client offers it.
  {
    Bot& first = *bots_[0];
    first.client = static_cast<kelvo::IImClient*>(
        create_(&kelvo::IID_IImClient, kelvo::IM_INTERFACE_VERSION));
    if (first.client == nullptr) {
      std::fprintf(stderr, "kelvo-bots: the module refused interface version %08X\n",
                   kelvo::IM_INTERFACE_VERSION);
      bots_.clear();
      return 2;
    }
    auto* engine = static_cast<kelvo::IImClientEngine*>(first.client->QueryInterface(
        kelvo::IID_IImClientEngine, kelvo::IM_ENGINE_INTERFACE_VERSION));
    if (engine != nullptr && !options_.ownThreads) {
      shared_ = true;
      pumpEngine_ = engine;
      if (!engine->SetSharedLoopThreads(options_.loopThreads)) {
        std::fprintf(stderr, "kelvo-bots: the module refused %u shared-loop threads\n",
                     options_.loopThreads);
        return 2;
      }
    } else if (!options_.ownThreads) {
      std::fprintf(stderr,
                   "kelvo-bots: the module offers no shared loop; falling back to one network "
                   "thread per client (%u threads)\n",
                   options_.clients);
    }
    const std::string why = Create(first);
    if (!why.empty()) {
      std::fprintf(stderr, "kelvo-bots: %s\n", why.c_str());
      return 2;
    }
  }

  startNs_ = NowNs();
  std::size_t next = 0;
  int64_t endNs = 0;
  int64_t lastTick = startNs_;
  int64_t lastDeadlineCheck = startNs_;
  int64_t drainUntil = 0;
  for (;;) {
    const int64_t now = NowNs();
    const double elapsed = static_cast<double>(now - startNs_) / 1e9;
    CheckDescriptors();
    if (next < bots_.size()) {
      std::size_t due = options_.ramp <= 0
                            ? bots_.size()
                            : static_cast<std::size_t>(std::floor(elapsed * options_.ramp)) + 1;
      due = std::min(due, bots_.size());
      // The first two go one at a time, for the descriptor reading.
      if (!fdChecked_ && bots_.size() >= 3) {
        const uint64_t settled = counters.connected.load() + counters.failed.load();
        due = std::min<std::size_t>(due, std::min<uint64_t>(settled + 1, 2));
      }
      while (next < due) Start(next++);
      if (next == bots_.size()) endNs = now + static_cast<int64_t>(options_.duration * 1e9);
    }
    if (now - lastDeadlineCheck >= 100'000'000) {
      CheckDeadlines(now);
      lastDeadlineCheck = now;
    }
    const bool chatting = next == bots_.size() && now < endNs;
    if (drainUntil == 0 && (chatting || next < bots_.size())) {
      SendChats(static_cast<double>(now - lastTick) / 1e9);
    }
    lastTick = now;
    Progress(elapsed, false);

    const bool allSettled = counters.settled.load() == bots_.size();
    // Once every bot has failed there is nothing left to wait for (bots
    // that the module is reconnecting are still to come back).
    const bool nobodyLeft = allSettled && counters.loggedIn.load() == 0 &&
                            (!Reconnecting() || counters.failed.load() == bots_.size());
    // --reconnect: once a loss has been won back by every bot, the run has
    // shown what it is for.
    const bool allBack = Reconnecting() && counters.losses.load() != 0 &&
                         counters.loggedIn.load() == bots_.size();
    if (next == bots_.size() && (now >= endNs || nobodyLeft || allBack) && allSettled) {
      if (drainUntil == 0) drainUntil = now + static_cast<int64_t>(options_.drain * 1e9);
      const bool answered = counters.answersReceived.load() >= counters.pingsSent.load();
      if (answered || now >= drainUntil) break;
    }
    Deliver(10);
  }
  runSeconds_ = static_cast<double>(NowNs() - startNs_) / 1e9;
  Progress(runSeconds_, true);
  peak_ = ReadProcess();

  const uint64_t failed = counters.failed.load();
  const double share =
      bots_.empty() ? 0 : static_cast<double>(failed) / static_cast<double>(bots_.size());
  const bool passed = share <= options_.maxFailures;
  for (const auto& bot : bots_) notBack_ += bot->phase.load() == Phase::kReconnecting;
  ReleaseAll();
  PrintSummary(passed, share);
  return passed ? 0 : 1;
}

void Swarm::PrintSummary(bool passed, double share) {
  const Counters& c = counters;
  const std::size_t n = bots_.size();
  const bool allIn = c.loggedInEver.load() == n;
  const double allInSeconds =
      allIn ? static_cast<double>(c.lastLoginNs.load() - firstConnectNs_) / 1e9 : -1;
  const uint64_t unanswered =
      c.pingsSent.load() > c.answersReceived.load() ? c.pingsSent.load() - c.answersReceived.load()
                                                    : 0;
  const auto reasons = failures.Snapshot();
  const char* mode = shared_ ? "shared-loop" : "own-threads";
  if (options_.json) {
    std::string j = "{";
    j += "\"clients\":" + std::to_string(n);
    j += ",\"mode\":" + JsonString(mode);
    j += ",\"server\":" + JsonString(options_.serverText);
    j += ",\"proxy\":" + (options_.proxyText.empty() ? std::string("null")
                                                        : JsonString(options_.proxyText));
    j += ",\"connected\":" + std::to_string(c.connected.load());
    j += ",\"logged_in\":" + std::to_string(c.loggedInEver.load());
    j += ",\"failed\":" + std::to_string(c.failed.load());
    j += ",\"failure_share\":" + Fixed(share, 6);
    j += ",\"max_failures\":" + Fixed(options_.maxFailures, 6);
    j += ",\"passed\":" + std::string(passed ? "true" : "false");
    j += ",\"all_logged_in_s\":" + (allIn ? Fixed(allInSeconds, 3) : std::string("null"));
    j += ",\"run_s\":" + Fixed(runSeconds_, 3);
    j += ",\"chats\":{\"sent\":" + std::to_string(c.ChatsSent()) +
         ",\"received\":" + std::to_string(c.ChatsReceived()) +
         ",\"pings_sent\":" + std::to_string(c.pingsSent.load()) +
         ",\"pings_received\":" + std::to_string(c.pingsReceived.load()) +
         ",\"answers_sent\":" + std::to_string(c.answersSent.load()) +
         ",\"answers_received\":" + std::to_string(c.answersReceived.load()) +
         ",\"unanswered\":" + std::to_string(unanswered) +
         ",\"refused\":" + std::to_string(c.sendRefused.load()) +
         ",\"other_received\":" + std::to_string(c.otherReceived.load()) + "}";
    j += ",\"round_trip_ms\":{\"count\":" + std::to_string(roundTrip.Count()) +
         ",\"p50\":" + Millis(roundTrip.Quantile(0.5)) +
         ",\"p99\":" + Millis(roundTrip.Quantile(0.99)) + ",\"max\":" + Millis(roundTrip.Max()) +
         "}";
    j += ",\"failures\":{";
    bool first = true;
    for (const auto& [reason, count] : reasons) {
      j += (first ? "" : ",") + JsonString(reason) + ":" + std::to_string(count);
      first = false;
    }
    j += "}";
    // /proc cannot be read when the clients took every descriptor.
    auto known = [](long v) { return v > 0 ? std::to_string(v) : std::string("null"); };
    j += ",\"process\":{\"threads\":" + known(peak_.threads) +
         ",\"descriptors\":" + known(peak_.descriptors) +
         ",\"descriptor_limit\":" + std::to_string(static_cast<long>(files_.rlim_cur)) +
         ",\"rss_kib\":" + known(peak_.rssKib) + "}";
    j += ",\"diagnostics\":" + std::to_string(c.diagnostics.load());
    if (options_.reconnectFirstMs != 0) {
      j += ",\"reconnect\":{\"losses\":" + std::to_string(c.losses.load()) +
           ",\"failed_attempts\":" + std::to_string(c.reconnectFailures.load()) +
           ",\"relogins\":" + std::to_string(c.relogins.load()) +
           ",\"not_back\":" + std::to_string(notBack_) + "}";
    }
    j += ",\"release_s\":" + Fixed(releaseSeconds_, 3);
    j += "}\n";
    std::fputs(j.c_str(), stdout);
    std::fflush(stdout);
    return;
  }
  std::printf("kelvo-bots: %zu clients (%s) against %s%s%s\n", n,
              shared_ ? "shared loop, pumped by one thread" : "a network thread each",
              options_.serverText.c_str(), options_.proxyText.empty() ? "" : " via ",
              options_.proxyText.c_str());
  std::printf("  logged in    %" PRIu64 " of %zu", c.loggedInEver.load(), n);
  if (allIn) std::printf(", all within %.2f s of the first connect", allInSeconds);
  std::printf("\n  failed       %" PRIu64 " (%.2f%%, at most %.2f%% allowed)%s\n", c.failed.load(),
              share * 100, options_.maxFailures * 100, passed ? "" : "  FAILED");
  for (const auto& [reason, count] : reasons) {
    std::printf("    %8" PRIu64 "  %s\n", count, reason.c_str());
  }
  std::printf("  chats        sent %" PRIu64 " (%" PRIu64 " pings, %" PRIu64
              " answers), received %" PRIu64 " (%" PRIu64 " pings, %" PRIu64 " answers)\n",
              c.ChatsSent(), c.pingsSent.load(), c.answersSent.load(), c.ChatsReceived(),
              c.pingsReceived.load(), c.answersReceived.load());
  if (c.sendRefused.load() != 0 || c.otherReceived.load() != 0) {
    std::printf("               %" PRIu64 " refused by the client, %" PRIu64
                " other messages received\n",
                c.sendRefused.load(), c.otherReceived.load());
  }
  if (options_.reconnectFirstMs != 0) {
    std::printf("  reconnect    %" PRIu64 " losses, %" PRIu64 " failed attempts, %" PRIu64
                " logins made again, %" PRIu64 " not back at the end\n",
                c.losses.load(), c.reconnectFailures.load(), c.relogins.load(), notBack_);
  }
  if (roundTrip.Count() != 0) {
    std::printf("  round trip   p50 %s ms  p99 %s ms  max %s ms  (%" PRIu64
                " answered, %" PRIu64 " unanswered)\n",
                Millis(roundTrip.Quantile(0.5)).c_str(), Millis(roundTrip.Quantile(0.99)).c_str(),
                Millis(roundTrip.Max()).c_str(), roundTrip.Count(), unanswered);
  }
  if (peak_.threads > 0) {
    std::printf("  process      %ld threads, %ld descriptors (limit %ld), %ld MiB resident\n",
                peak_.threads, peak_.descriptors, static_cast<long>(files_.rlim_cur),
                peak_.rssKib / 1024);
  }
  std::printf("  released     %zu clients in %.3f s\n", n, releaseSeconds_);
  std::fflush(stdout);
}

}  // namespace

int RunSwarm(const Options& options, const std::vector<Account>& accounts,
             CreateKelvoCoreFn create) {
  Swarm swarm(options, accounts, create);
  return swarm.Run();
}

}  // namespace kelvo_bots
