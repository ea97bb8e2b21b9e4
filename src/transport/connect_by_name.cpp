// Connecting by host name or IPv6 address (IImClientNetwork): the socket
// client resolves, races the addresses and speaks SOCKS5 with a name; here
// the client object only picks the proxy and the security of the attempt.
#include <cstring>

#include "core/im_server_client.h"

namespace kelvo {

bool ImServerClient::ConnectTo(const char* host, uint16_t port) {
  CallScope scope(this);
  if (!scope.live() || socket_ == nullptr || host == nullptr || port == 0) return false;
  // Longer texts never reach the engine (its own limit is the same).
  if (std::strlen(host) > KELVO_HOST_NAME_MAX) return false;
  HostConnects();
  if (!ConnectToHost(host, port)) return false;
  TargetChosen(host, port);
  return true;
}

bool ImServerClient::ConnectToHost(const char* host, uint16_t port) {
  // Only SetProxy's proxy: the one a ServerAddress named stays Connect's.
  connectToSetProxy_ = true;
  if (proxyHost_.empty()) {
    socket_->CancelProxyServer();
  } else if (!socket_->SetProxyHost(proxyHost_.c_str(), proxyHostPort_)) {
    return false;
  }
  // TLS and the proxy's credentials as they stand now; with TLS on and no
  // server name set, the engine checks the certificate against `host`.
  socket_->SetLinkSecurity(security_.link());
  lock_.Mark();
  return socket_->ConnectTo(host, port);
}

bool ImServerClient::SetProxyHost(const char* host, uint16_t port) {
  CallScope scope(this);
  if (!scope.live() || socket_ == nullptr || host == nullptr) return false;
  if (socket_->HasConnection()) return false;
  if (*host == '\0' || port == 0) {
    if (*host != '\0' || port != 0) return false;  // a name without a port, or the reverse
    proxyHost_.clear();
    proxyHostPort_ = 0;
    return true;
  }
  if (std::strlen(host) > KELVO_HOST_NAME_MAX) return false;
  try {
    std::string text(host);
    // The engine judges the text the same way it will when ConnectTo uses it.
    if (!socket_->SetProxyHost(text.c_str(), port)) return false;
    proxyHost_ = std::move(text);
    proxyHostPort_ = port;
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace kelvo
