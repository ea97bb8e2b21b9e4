// IImClientNetwork: an optional face of the client object for the networks
// players are on: a server by host name or by IPv4 or IPv6 address, a SOCKS5
// proxy by name, reconnection after a loss, and the moment a login's data
// has arrived.
//
//   IImClientNetwork* net = static_cast<IImClientNetwork*>(
//       client->QueryInterface(IID_IImClientNetwork, IM_NETWORK_INTERFACE_VERSION));
//   KelvoReconnectPolicy policy = {500, 30000, 200, 0, 1};
//   net->SetReconnect(&policy);           // optional
//   net->ConnectTo("im.example.com", 7000);
//   ... OnConnect(1), Login, OnLoginResult(1) ...
//   if (net->GetLoginState() == KELVO_LOGIN_COMPLETE) { /* roster and MyInfo are in */ }
//
// ConnectTo is Connect by name: everything else about the connection is as
// for Connect (the outcome arrives as OnConnect, a failure or a loss comes
// with one OnLog line before it, Close ends it, TLS and proxy credentials
// come from IImClientSecurity). The name is resolved off the caller's thread
// and never blocks it. When a name has addresses of both families, they are
// tried as RFC 8305 describes: IPv6 first, the next address 250 ms later
// while the first has not answered, and the first connection up wins; the
// others are closed. Resolving, connecting, the proxy's handshake and TLS
// share the attempt's 10-second limit. Reason lines name the stage:
//   "ImServerClient: connect to im.example.com:7000 failed: cannot resolve
//   'im.example.com': ..." or "... failed: no address of 'im.example.com'
//   answered: connection refused".
// With TLS on and no server name set (IImClientSecurity::SetTlsServerName),
// the host name given here is the name the certificate must carry and the
// one sent as SNI.
//
// Reconnection is off unless SetReconnect turns it on. Then a connection that
// was up and is lost (OnClose, after its reason line) is followed by new
// attempts at the same server, each after a delay drawn at random between 0
// and min(maxDelayMs, firstDelayMs x (factorPercent / 100)^n) for the n-th
// attempt (full jitter: a fleet of clients that lost the same server does
// not come back all at once). Each attempt is reported as any attempt is:
// OnConnect(1), or its reason line and OnConnect(0). With `relogin` set the
// client logs in again, right after OnConnect(1), with the values of the
// last Login made on this object (none after a Logout; nor when the host
// logs in itself inside that OnConnect). Close, Release, Connect and
// ConnectTo end a series: its attempt under way, still waiting or
// connecting, is dropped with nothing more reported, and Connect and
// ConnectTo start the host's own instead of refusing because of it. A
// series also ends after maxAttempts failed attempts (0: no limit). It
// works in both delivery modes and on the shared loop; a series moves on
// as its reports are delivered, so in pump mode as the host pumps. A
// waiting attempt is an attempt under way (SetDeliveryMode, UseSharedLoop
// and the security settings refuse changes meanwhile). Nothing is retried
// after the host's own Close (also one made in the reason line or in
// OnClose), nor after a first attempt that never came up.
//
// The login's data: after OnLoginResult(1) the server sends the own user's
// data (GetMyInfo), the group list and the friend list, each as messages of
// their own that may come in later reads. GetLoginState says when they have
// all arrived. Until then GetMyInfo may be null, and a game server entered
// inside OnLoginResult (EnterGameServer) is overwritten in MyInfo when the
// own data arrives, as the protocol has it: the server's record then says 0
// while the server itself, and the friends, have the game server. Enter game
// servers once the state is KELVO_LOGIN_COMPLETE, or enter again then.
//
// The three IImBase operations act on the client object itself, as on the
// other extension faces. No virtual destructor; KELVO_CALL on every
// operation.
#ifndef KELVO_IM_CLIENT_NETWORK_H_
#define KELVO_IM_CLIENT_NETWORK_H_

#include "kelvo/im_base.h"
#include "kelvo/kelvo_types.h"

namespace kelvo {

// {6F1C2D8A-5B34-4E9D-A2C7-0E8B3F5D7A19}
constexpr GUID IID_IImClientNetwork = {
    0x6F1C2D8A, 0x5B34, 0x4E9D, {0xA2, 0xC7, 0x0E, 0x8B, 0x3F, 0x5D, 0x7A, 0x19}};

// Version word of this interface: 1.0. Accepted: major 1, minor 0, any build
// and revision.
constexpr uint32_t IM_NETWORK_INTERFACE_VERSION = 0x01000000;

// Longest host name ConnectTo and SetProxy take, in bytes (without the
// terminating zero).
constexpr uint32_t KELVO_HOST_NAME_MAX = 253;

// What SetReconnect takes; every field is a 32-bit unsigned value.
struct KelvoReconnectPolicy {
  uint32_t firstDelayMs;   // bound of the first attempt's delay, 1 or more
  uint32_t maxDelayMs;     // no attempt waits longer; at least firstDelayMs
  uint32_t factorPercent;  // growth of the bound per attempt: 100 (none) to 1000
  uint32_t maxAttempts;    // failed attempts after which the series ends; 0: none
  uint32_t relogin;        // 1: log in again after OnConnect(1); 0: the host does
};
static_assert(sizeof(KelvoReconnectPolicy) == 20, "KelvoReconnectPolicy layout");
static_assert(alignof(KelvoReconnectPolicy) == 4, "KelvoReconnectPolicy alignment");

// GetLoginState's results.
constexpr uint32_t KELVO_LOGIN_NONE = 0;      // no login on the current connection
constexpr uint32_t KELVO_LOGIN_WAITING = 1;   // Login sent, no answer yet
constexpr uint32_t KELVO_LOGIN_LOADING = 2;   // OnLoginResult(1) came; data arriving
constexpr uint32_t KELVO_LOGIN_COMPLETE = 3;  // own data, groups and friends are in

class IImClientNetwork : public IImBase {
 public:
  // Slots 0-2 come from IImBase.

  // Slot 3. Starts a connection to `host`, a zero-terminated DNS name (ASCII;
  // an internationalised name in its "xn--" form), dotted IPv4 address or
  // IPv6 address (with or without [brackets]) of 1 to KELVO_HOST_NAME_MAX
  // bytes, at `port` (1 to 65535): directly, or through the proxy SetProxy
  // named. True when the attempt started, as for Connect; false, with
  // nothing started, for null, a malformed name, port 0, or while an
  // attempt is under way or a connection is up.
  virtual bool KELVO_CALL ConnectTo(const char* host, uint16_t port) = 0;
  // Slot 4. Later ConnectTo calls go through the SOCKS5 proxy at `host`
  // (same forms as for ConnectTo) and `port`; "" and 0 make them go
  // directly. The server's name is handed to the proxy to resolve (SOCKS5's
  // domain-name address), an IPv6 address as such; the proxy's own name is
  // resolved here. Connect keeps the proxy of its ServerAddress. False for
  // null, a malformed name, a port of 0 with a name (or the reverse), or
  // while a connection exists (attempted or up).
  virtual bool KELVO_CALL SetProxy(const char* host, uint16_t port) = 0;
  // Slot 5. Reconnection after a loss, as described above; null turns it
  // off (the default). The policy is copied. False, with nothing changed,
  // for a policy whose values are out of their ranges. Takes effect at once:
  // new values from a series' next attempt on; null ends a series under way
  // as Close would end its attempt, leaving the connection closed.
  virtual bool KELVO_CALL SetReconnect(const KelvoReconnectPolicy* policy) = 0;
  // Slot 6. Where the current connection's login stands: KELVO_LOGIN_NONE
  // (no login sent, refused, logged out, or no connection), _WAITING,
  // _LOADING, or _COMPLETE once the own user's data, the group list and the
  // first friend list have arrived, or one second has passed since the last
  // of the login's messages (a server that sends no list, or none of some
  // kind). Any thread; the state is as of the events delivered so far (in
  // pump mode: pumped).
  virtual uint32_t KELVO_CALL GetLoginState() = 0;

 protected:
  ~IImClientNetwork() = default;
};

}  // namespace kelvo

#endif  // KELVO_IM_CLIENT_NETWORK_H_
