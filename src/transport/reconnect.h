// Reconnection after a loss: the host's policy, what the next attempt
// connects to and logs in with, where a series stands, and the draw of each
// attempt's delay.
//
// It knows nothing of sockets or locks. The client object owns one, calls it
// under its own lock, and drives it from the points where a connection's
// state reaches the host (transport/reconnect.cpp): a loss delivered starts
// a series, each failure delivered schedules the next attempt, a success
// delivered ends it. Scheduling is handing the socket client a delay for
// the next attempt; the waiting is the engine's, so Close, Release and a new
// Connect cancel a waiting attempt as they cancel any other.
#ifndef KELVO_TRANSPORT_RECONNECT_H_
#define KELVO_TRANSPORT_RECONNECT_H_

#include <array>
#include <cstdint>
#include <string>

#include "kelvo/im_client_network.h"
#include "kelvo/kelvo_types.h"
#include "protocol/request_layouts.h"

namespace kelvo {

class Reconnection {
 public:
  // The policy's values are within their ranges.
  static bool Valid(const KelvoReconnectPolicy& policy);
  // Upper bound of the delay before the attempt that follows `failed`
  // failed attempts of a series: firstDelayMs x (factorPercent / 100)^failed,
  // no more than maxDelayMs. `policy` is valid.
  static uint32_t BoundMs(const KelvoReconnectPolicy& policy, uint32_t failed);

  // Seeds the draws; without it the first draw seeds them from the
  // system's random source.
  void Seed(uint64_t seed);
  // A delay drawn uniformly from [0, bound] (full jitter).
  uint32_t DrawMs(uint32_t bound);

  void SetPolicy(const KelvoReconnectPolicy& policy);
  void TurnOff() { on_ = false; }
  bool on() const { return on_; }
  const KelvoReconnectPolicy& policy() const { return policy_; }

  // What the last connection the host started went to. The series goes to
  // the same place, the same way.
  enum class Target { kNone, kAddress, kName };
  void TargetAddress(const ServerAddress& address);
  void TargetName(const char* host, uint16_t port);
  Target target() const { return target_; }
  const ServerAddress& address() const { return address_; }
  const std::string& host() const { return host_; }
  uint16_t port() const { return port_; }

  // The last Login sent on this object; a Logout forgets it.
  void RememberLogin(uint32_t userId, const uint8_t* password, const uint8_t* extra);
  void ForgetLogin() { haveLogin_ = false; }
  bool haveLogin() const { return haveLogin_; }
  uint32_t loginUserId() const { return userId_; }
  const uint8_t* loginPassword() const { return password_.data(); }
  // Null when the Login had no extra block.
  const uint8_t* loginExtra() const { return haveExtra_ ? extra_.data() : nullptr; }
  // Logins sent so far: tells whether the host logged in itself inside the
  // report that would make the client log in again.
  uint32_t logins() const { return logins_; }

  // Where the connections stand, as the host has been told.
  //   up: the last report was OnConnect(1) and the host has neither closed
  //       nor replaced that connection: its loss starts a series.
  //   pending: an attempt of a series is under way, not yet reported.
  //   failed: failed attempts of the series so far.
  bool up = false;
  bool pending = false;
  uint32_t failed = 0;
  // The host closed: nothing of a series goes on.
  void HostClosed() {
    up = false;
    pending = false;
  }
  // The series is starting an attempt through the host's own entry
  // (ConnectTo): that entry does not end the series it serves.
  bool starting = false;

 private:
  KelvoReconnectPolicy policy_{};
  bool on_ = false;
  bool seeded_ = false;
  uint64_t random_ = 0;

  Target target_ = Target::kNone;
  ServerAddress address_{};
  std::string host_;
  uint16_t port_ = 0;

  bool haveLogin_ = false;
  bool haveExtra_ = false;
  uint32_t userId_ = 0;
  std::array<uint8_t, request::kLoginPasswordWidth> password_{};
  std::array<uint8_t, request::kLoginExtraWidth> extra_{};
  uint32_t logins_ = 0;
};

}  // namespace kelvo

#endif  // KELVO_TRANSPORT_RECONNECT_H_
