#include "transport/security.h"

#include <cstring>
#include <string>
#include <utility>

#include "kelvo/im_client_security.h"

namespace kelvo {

static_assert(KELVO_TLS_PIN_SIZE == Nimbo2::kTlsPinSize, "one pin size");
static_assert(KELVO_PROXY_TEXT_MAX == Nimbo2::kMaxProxyText, "one proxy text limit");

bool SecuritySettings::SetTlsMode(uint32_t mode) {
  if (mode == KELVO_TLS_OFF) {
    link_.tls = false;
    return true;
  }
  // Verification needs a name to check. Without one set, ConnectTo's host
  // is the name; an attempt that has neither fails at its TLS set-up.
  if (mode != KELVO_TLS_ON) return false;
  link_.tls = true;
  return true;
}

bool SecuritySettings::SetTlsServerName(const char* serverName) {
  if (serverName == nullptr) return false;
  if (*serverName == '\0') {
    if (link_.tls) return false;
    link_.tlsConfig.serverName.clear();
    return true;
  }
  if (!Nimbo2::IsValidServerName(serverName)) return false;
  link_.tlsConfig.serverName = serverName;
  return true;
}

bool SecuritySettings::SetTlsTrustSystemStore() {
  Nimbo2::TlsConfig& c = link_.tlsConfig;
  c.trust = Nimbo2::TlsTrust::kSystemStore;
  c.caFile.clear();
  c.caPem.clear();
  c.pin.fill(0);
  return true;
}

bool SecuritySettings::SetTlsTrustCaFile(const char* path) {
  std::string pem, error;
  if (!Nimbo2::LoadCaFile(path, &pem, &error)) return false;
  Nimbo2::TlsConfig& c = link_.tlsConfig;
  c.trust = Nimbo2::TlsTrust::kCaFile;
  c.caFile = path;
  c.caPem = std::move(pem);
  c.pin.fill(0);
  return true;
}

bool SecuritySettings::SetTlsTrustPin(const uint8_t* sha256, uint32_t size) {
  if (sha256 == nullptr || size != KELVO_TLS_PIN_SIZE) return false;
  Nimbo2::TlsConfig& c = link_.tlsConfig;
  c.trust = Nimbo2::TlsTrust::kPin;
  c.caFile.clear();
  c.caPem.clear();
  std::memcpy(c.pin.data(), sha256, KELVO_TLS_PIN_SIZE);
  return true;
}

bool SecuritySettings::SetProxyCredentials(const char* username, const char* password) {
  if (username == nullptr || password == nullptr) return false;
  if (*username == '\0' && *password == '\0') {
    link_.proxyUsername.clear();
    link_.proxyPassword.clear();
    return true;
  }
  if (!Nimbo2::IsValidProxyText(username) || !Nimbo2::IsValidProxyText(password)) return false;
  link_.proxyUsername = username;
  link_.proxyPassword = password;
  return true;
}

}  // namespace kelvo
