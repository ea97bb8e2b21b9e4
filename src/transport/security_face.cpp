// IImClientSecurity: the client object's face for TLS and proxy
// credentials. The checks live in SecuritySettings; here they run under the
// client's lock, and not while a connection exists (its settings were taken
// when it started).
#include "core/im_server_client.h"

namespace kelvo {

template <typename Set>
bool ImServerClient::SetSecurity(Set set) {
  CallScope scope(this);
  if (!scope.live() || socket_ == nullptr || socket_->HasConnection()) return false;
  return set(security_);
}

bool ImServerClient::SecurityFace::SetTlsMode(uint32_t mode) {
  return client_->SetSecurity([&](SecuritySettings& s) { return s.SetTlsMode(mode); });
}

bool ImServerClient::SecurityFace::SetTlsServerName(const char* serverName) {
  return client_->SetSecurity([&](SecuritySettings& s) { return s.SetTlsServerName(serverName); });
}

bool ImServerClient::SecurityFace::SetTlsTrustSystemStore() {
  return client_->SetSecurity([](SecuritySettings& s) { return s.SetTlsTrustSystemStore(); });
}

bool ImServerClient::SecurityFace::SetTlsTrustCaFile(const char* path) {
  return client_->SetSecurity([&](SecuritySettings& s) { return s.SetTlsTrustCaFile(path); });
}

bool ImServerClient::SecurityFace::SetTlsTrustPin(const uint8_t* sha256, uint32_t size) {
  return client_->SetSecurity([&](SecuritySettings& s) { return s.SetTlsTrustPin(sha256, size); });
}

bool ImServerClient::SecurityFace::SetProxyCredentials(const char* username, const char* password) {
  return client_->SetSecurity(
      [&](SecuritySettings& s) { return s.SetProxyCredentials(username, password); });
}

}  // namespace kelvo
