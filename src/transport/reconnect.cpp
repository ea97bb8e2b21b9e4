// Reconnection after a loss (IImClientNetwork::SetReconnect).
//
// One mechanism: the points where a connection's state reaches the host
// decide what comes next. A loss delivered (its reason line, then OnClose)
// starts a series when the connection had been up and the host did not end
// it itself; each failed attempt delivered (reason line, OnConnect(0))
// schedules the next; OnConnect(1) ends the series and, if asked, logs in
// again. Scheduling is Connect with a delay that the socket client carries
// as its attempt's first phase: no thread sleeps, an idle loop wakes only
// when the delay is over, and whatever ends an attempt (Close, Release, a
// new Connect) ends a waiting one the same way. Deciding at delivery keeps
// both delivery modes alike: in pump mode the series moves as the host
// pumps, and a host that stopped pumping is not reconnected behind its back.
#include "transport/reconnect.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>

#include "core/im_server_client.h"
#include "sink/texts.h"

namespace kelvo {

namespace {

uint64_t SplitMix64(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Every client draws its own: a fleet that lost the same server must not
// draw the same delays, and no draw waits for another client's.
uint64_t SystemSeed(const void* self) {
  uint64_t seed = static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  seed ^= reinterpret_cast<uintptr_t>(self);
  try {
    std::random_device device;
    seed ^= (static_cast<uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No random source: the clock and the address still differ per client.
  }
  return seed;
}

}  // namespace

bool Reconnection::Valid(const KelvoReconnectPolicy& p) {
  return p.firstDelayMs >= 1 && p.maxDelayMs >= p.firstDelayMs && p.factorPercent >= 100 &&
         p.factorPercent <= 1000 && p.relogin <= 1;
}

uint32_t Reconnection::BoundMs(const KelvoReconnectPolicy& p, uint32_t failed) {
  uint64_t bound = p.firstDelayMs;
  // Grows until it reaches the cap; at most 2^32 x 1000 before the check.
  for (uint32_t n = 0; n < failed && bound < p.maxDelayMs && p.factorPercent > 100; ++n) {
    bound = bound * p.factorPercent / 100;
  }
  return static_cast<uint32_t>(std::min<uint64_t>(bound, p.maxDelayMs));
}

void Reconnection::Seed(uint64_t seed) {
  random_ = seed;
  seeded_ = true;
}

uint32_t Reconnection::DrawMs(uint32_t bound) {
  if (!seeded_) Seed(SystemSeed(this));
  // 64 random bits over at most 2^32 values: the modulo's bias is below
  // one in 2^32.
  return static_cast<uint32_t>(SplitMix64(&random_) % (static_cast<uint64_t>(bound) + 1));
}

void Reconnection::SetPolicy(const KelvoReconnectPolicy& policy) {
  policy_ = policy;
  on_ = true;
}

void Reconnection::TargetAddress(const ServerAddress& address) {
  target_ = Target::kAddress;
  address_ = address;
}

void Reconnection::TargetName(const char* host, uint16_t port) {
  target_ = Target::kName;
  host_ = std::string(host);
  port_ = port;
}

void Reconnection::RememberLogin(uint32_t userId, const uint8_t* password, const uint8_t* extra) {
  ++logins_;
  haveLogin_ = true;
  userId_ = userId;
  std::memcpy(password_.data(), password, password_.size());
  haveExtra_ = extra != nullptr;
  if (haveExtra_) std::memcpy(extra_.data(), extra, extra_.size());
}

// --- The client's side. ---

bool ImServerClient::SetReconnect(const KelvoReconnectPolicy* policy) {
  CallScope scope(this);
  if (!scope.live()) return false;
  if (policy == nullptr) {
    reconnect_.TurnOff();
    EndSeries();
    return true;
  }
  if (!Reconnection::Valid(*policy)) return false;
  // A series under way goes on under the new values from its next attempt.
  reconnect_.SetPolicy(*policy);
  return true;
}

void ImServerClient::SeedReconnectDraws(uint64_t seed) {
  CallScope scope(this);
  reconnect_.Seed(seed);
}

void ImServerClient::HostConnects() {
  if (!reconnect_.starting) EndSeries();
}

void ImServerClient::TargetChosen(const ServerAddress& address) {
  reconnect_.up = false;  // a new connection, not up yet
  reconnect_.TargetAddress(address);
}

void ImServerClient::TargetChosen(const char* host, uint16_t port) {
  reconnect_.up = false;
  reconnect_.TargetName(host, port);
}

void ImServerClient::EndSeries() {
  if (!reconnect_.pending) return;
  reconnect_.pending = false;
  if (socket_ == nullptr) return;
  // The series' attempt goes unheard, whether it still waits or connects.
  lock_.Mark();
  socket_->CloseSocket(false);
}

ImServerClient::SeriesMark ImServerClient::BeforeConnectState(uint32_t state) {
  const SeriesMark mark{reconnect_.pending, reconnect_.logins()};
  if (state == Nimbo2::kConnected) {
    reconnect_.pending = false;
    reconnect_.failed = 0;
    reconnect_.up = true;
  }
  return mark;
}

void ImServerClient::AfterConnectState(uint32_t state, const SeriesMark& mark) {
  // Released inside the callback: nothing more starts.
  if (life_ != Life::kOpen) return;
  if (state == Nimbo2::kConnected) {
    // Logged in again with the host's last values, unless the host did it
    // itself inside OnConnect, or closed the connection there.
    if (mark.ofSeries && reconnect_.up && reconnect_.on() && reconnect_.policy().relogin == 1 &&
        reconnect_.haveLogin() && reconnect_.logins() == mark.logins) {
      Login(reconnect_.loginUserId(), reconnect_.loginPassword(), reconnect_.loginExtra());
    }
    return;
  }
  if (state == Nimbo2::kConnectionClosed) {
    // A Close or a Connect inside OnClose has cleared `up`: the host took
    // over.
    if (!reconnect_.up) return;
    reconnect_.up = false;
    if (!reconnect_.on()) return;
    reconnect_.failed = 0;
    NextAttempt();
    return;
  }
  if (state == Nimbo2::kConnectFailed) {
    // A failure of the host's own attempt starts nothing; nor does one
    // whose series the host ended inside OnConnect(0).
    if (!mark.ofSeries || !reconnect_.pending) return;
    reconnect_.pending = false;
    ++reconnect_.failed;
    const uint32_t limit = reconnect_.policy().maxAttempts;
    if (!reconnect_.on() || (limit != 0 && reconnect_.failed >= limit)) return;
    NextAttempt();
  }
}

void ImServerClient::NextAttempt() {
  if (socket_ == nullptr) return;
  const uint32_t delay =
      reconnect_.DrawMs(Reconnection::BoundMs(reconnect_.policy(), reconnect_.failed));
  reconnect_.pending = true;
  socket_->DelayNextConnect(delay);
  bool started = false;
  if (reconnect_.target() == Reconnection::Target::kAddress) {
    started = ConnectAddress(reconnect_.address());
  } else if (reconnect_.target() == Reconnection::Target::kName) {
    // A copy: ConnectTo records its target again.
    const std::string host = reconnect_.host();
    reconnect_.starting = true;
    started = ConnectTo(host.c_str(), reconnect_.port());
    reconnect_.starting = false;
  }
  if (started) return;
  // The attempt did not start (no thread or memory for it): the series
  // ends here, and the host hears why.
  reconnect_.pending = false;
  socket_->DelayNextConnect(0);
  FormatLog(0, kTextReconnectNotStarted, reconnect_.failed + 1);
}

}  // namespace kelvo
