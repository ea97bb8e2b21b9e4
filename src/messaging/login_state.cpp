// Where the login stands: sent, answered, and complete once the own data,
// the group list and the first friend list are in.
//
// The server sends the login's data as messages of their own after login
// ok, and a server may leave a kind out (no groups, no friends): one second
// after the last of the login's messages the login counts as complete
// anyway. That second is judged when the host asks, from the time the last
// message was handled; the client keeps no timer, so an idle connection
// stays asleep.
//
// The state belongs to one connection. Close, a lost connection (once its
// end is delivered), a refused login and a logout empty the login's data
// (ClearLoginData) and the state with it. A Connect made while the
// end of the login's connection still waits undelivered replaces that
// connection without emptying anything: LoginState sees it by the epoch
// the login was stamped with no longer being the socket client's current
// one.
#include <chrono>

#include "core/im_server_client.h"

namespace kelvo {

namespace {

// Quiet time after the last of the login's messages after which a login
// that is still loading counts as complete.
constexpr std::chrono::seconds kLoginSettle{1};

}  // namespace

uint32_t ImServerClient::LoginState() {
  CallScope scope(this);
  if (!scope.live() || login_.state == KELVO_LOGIN_NONE) return KELVO_LOGIN_NONE;
  if (login_.epoch != 0 && socket_ != nullptr) {
    Nimbo2::InboxItem probe;
    probe.epoch = login_.epoch;
    if (!socket_->Current(probe)) {
      login_ = LoginProgress{};
      return KELVO_LOGIN_NONE;
    }
  }
  if (login_.state == KELVO_LOGIN_LOADING && loginClock_() - login_.last >= kLoginSettle) {
    login_.state = KELVO_LOGIN_COMPLETE;
  }
  return login_.state;
}

void ImServerClient::SetLoginClock(SteadyNow now) {
  CallScope scope(this);
  loginClock_ = now != nullptr ? now : &ClientLock::Clock::now;
}

void ImServerClient::LoginSent() {
  // A second Login on the same connection starts over: what comes now
  // answers it.
  login_ = LoginProgress{};
  login_.state = KELVO_LOGIN_WAITING;
  // The Login went out on the current connection. Its epoch is that of the
  // item last delivered unless that one's connection was replaced since
  // (a Login made before the new OnConnect was pumped): then the first
  // item Deliver takes next tells it.
  if (socket_ != nullptr && deliveredEpoch_ != 0) {
    Nimbo2::InboxItem probe;
    probe.epoch = deliveredEpoch_;
    if (socket_->Current(probe)) login_.epoch = deliveredEpoch_;
  }
}

void ImServerClient::LoginAnswered() {
  if (login_.state >= KELVO_LOGIN_LOADING) return;
  login_.state = KELVO_LOGIN_LOADING;
  login_.arrived = 0;
  // The answer came on the connection being delivered.
  login_.epoch = deliveredEpoch_;
  login_.last = loginClock_();
}

void ImServerClient::LoginDataArrived(uint32_t part) {
  login_.arrived |= part;
  login_.last = loginClock_();
  if (login_.arrived == kLoginDataAll) login_.state = KELVO_LOGIN_COMPLETE;
}

void ImServerClient::LoginRosterEmptied() {
  // Server info empties the groups and friends; the lists that count are
  // the ones sent after it.
  if (login_.state != KELVO_LOGIN_LOADING) return;
  login_.arrived &= ~(kLoginDataGroups | kLoginDataFriends);
  login_.last = loginClock_();
}

}  // namespace kelvo
