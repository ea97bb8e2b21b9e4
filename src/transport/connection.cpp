// Connection management: the client object's side of the socket client.
#include <cstring>

#include "core/im_server_client.h"
#include "sink/texts.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

namespace kelvo {

bool ImServerClient::Connect(const ServerAddress* address) {
  CallScope scope(this);
  // A client on its way out (a Release made in a callback that has not
  // returned yet) starts nothing more.
  if (!scope.live() || socket_ == nullptr || address == nullptr) return false;
  HostConnects();
  if (!ConnectAddress(*address)) return false;
  TargetChosen(*address);
  return true;
}

bool ImServerClient::ConnectAddress(const ServerAddress& address) {
  sockaddr_in target;
  std::memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  target.sin_port = htons(address.serverPort);
  target.sin_addr.s_addr = htonl(address.serverIp);
  if (address.proxyIp != 0) {
    // A proxy set here stays set for later Connect calls of this object:
    // the client never withdraws it.
    addressProxyIp_ = address.proxyIp;
    addressProxyPort_ = address.proxyPort;
    addressProxyParam_ = address.proxyParam;
  }
  // The socket client keeps one proxy; ConnectTo may have set SetProxy's
  // (or none) in place of the one Connect keeps.
  if (address.proxyIp != 0 || (connectToSetProxy_ && addressProxyIp_ != 0)) {
    Nimbo2::tagProxyInfo proxy{};
    proxy.address = addressProxyIp_;
    proxy.port = addressProxyPort_;
    proxy.param = addressProxyParam_;
    socket_->SetProxyServer(proxy);
  } else if (connectToSetProxy_) {
    socket_->CancelProxyServer();
  }
  connectToSetProxy_ = false;
  // TLS and the proxy's credentials as they stand now; a later change
  // waits for the next Connect.
  socket_->SetLinkSecurity(security_.link());
  // Whatever an earlier connection left undelivered belongs to it: the
  // socket client hands out only the new one's events from now on.
  lock_.Mark();
  return socket_->Connect(target);
}

bool ImServerClient::Close() {
  CallScope scope(this);
  if (socket_ == nullptr) return false;
  ClearLoginData();
  // The host's own Close: no reconnection follows it.
  reconnect_.HostClosed();
  // Nothing of the connection reaches the host after this, whether the
  // library had seen its end already or not; what it accepted for sending
  // still goes out, before our FIN, in the background.
  lock_.Mark();
  return socket_->CloseSocket(false);
}

void ImServerClient::OnConnectState(uint32_t state) {
  CallScope scope(this);
  if (!scope.live()) return;
  DeliverConnectState(state);
}

void ImServerClient::DeliverConnectState(uint32_t state) {
  const SeriesMark mark = BeforeConnectState(state);
  ReportConnectState(state);
  AfterConnectState(state, mark);
}

void ImServerClient::ReportConnectState(uint32_t state) {
  if (sink_ == nullptr) return;
  try {
    if (state == Nimbo2::kConnectFailed || state == Nimbo2::kConnected) {
      sink_->OnConnect(state);
    } else if (state == Nimbo2::kConnectionClosed) {
      sink_->OnClose(0);
    }
  } catch (...) {
    // The connection's state is the network's, not the callback's: a
    // connection that came up stays up and is read as usual.
    CallbackThrew(kTextCallbackThrewConnectState, state);
  }
  if (state == Nimbo2::kConnectionClosed) {
    // The host may have released or replaced things inside OnClose; the
    // emptying below uses no state from before the call.
    ClearLoginData();
  }
}

void ImServerClient::OnTick(uint32_t /*tickMs*/) {
  // The client keeps no timers of its own.
}

}  // namespace kelvo
