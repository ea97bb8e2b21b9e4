#include "security.h"

#include <cstdint>

#include "gbk.h"
#include "kelvo/im_client_security.h"

namespace kelvo_cli {

namespace {

bool ParsePin(const std::string& hex, uint8_t pin[kelvo::KELVO_TLS_PIN_SIZE]) {
  if (hex.size() != 2 * kelvo::KELVO_TLS_PIN_SIZE) return false;
  for (std::size_t i = 0; i < hex.size(); ++i) {
    const char c = hex[i];
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      return false;
    }
    if (i % 2 == 0) {
      pin[i / 2] = static_cast<uint8_t>(v << 4);
    } else {
      pin[i / 2] = static_cast<uint8_t>(pin[i / 2] | v);
    }
  }
  return true;
}

}  // namespace

bool CheckSecurityOptions(const SecurityOptions& o, std::string* error) {
  if (!o.tls && (!o.serverName.empty() || !o.caFile.empty() || !o.pinHex.empty())) {
    *error = "--tls-server-name, --tls-ca and --tls-pin need --tls";
    return false;
  }
  if (o.tls && o.serverName.empty()) {
    *error = "--tls needs --tls-server-name: the name the server's certificate must carry";
    return false;
  }
  if (!o.caFile.empty() && !o.pinHex.empty()) {
    *error = "--tls-ca and --tls-pin exclude each other";
    return false;
  }
  uint8_t pin[kelvo::KELVO_TLS_PIN_SIZE];
  if (!o.pinHex.empty() && !ParsePin(o.pinHex, pin)) {
    *error = "--tls-pin takes the SHA-256 of the server's public key as 64 hex digits";
    return false;
  }
  if (o.proxyCredentials && (o.proxyUser.empty() || o.proxyPassword.empty())) {
    *error = "--proxy-user and --proxy-password go together";
    return false;
  }
  return true;
}

bool ApplySecurity(kelvo::IImClient* client, const SecurityOptions& o, std::string* error) {
  auto* security = static_cast<kelvo::IImClientSecurity*>(
      client->QueryInterface(kelvo::IID_IImClientSecurity, kelvo::IM_SECURITY_INTERFACE_VERSION));
  if (security == nullptr) {
    *error = o.tls ? "the module offers no TLS (IImClientSecurity); not connecting in clear text"
                   : "the module cannot give a proxy credentials (no IImClientSecurity)";
    return false;
  }
  if (o.tls) {
    if (!security->SetTlsServerName(o.serverName.c_str())) {
      *error = "the client refused the server name '" + o.serverName + "'";
      return false;
    }
    uint8_t pin[kelvo::KELVO_TLS_PIN_SIZE];
    if (!o.caFile.empty() && !security->SetTlsTrustCaFile(o.caFile.c_str())) {
      *error = "the client refused the CA file " + o.caFile +
               " (missing, unreadable, or no PEM certificate in it)";
      return false;
    }
    if (!o.pinHex.empty() &&
        (!ParsePin(o.pinHex, pin) || !security->SetTlsTrustPin(pin, sizeof pin))) {
      *error = "the client refused the pin";
      return false;
    }
    if (!security->SetTlsMode(kelvo::KELVO_TLS_ON)) {
      *error = "the client refused to turn TLS on";
      return false;
    }
  }
  if (o.proxyCredentials) {
    std::string user, password;
    if (!Utf8ToGbk(o.proxyUser, &user) || !Utf8ToGbk(o.proxyPassword, &password)) {
      *error = "the proxy credentials have a character GBK cannot encode";
      return false;
    }
    if (!security->SetProxyCredentials(user.c_str(), password.c_str())) {
      *error = "the client refused the proxy credentials (each 1 to 255 bytes)";
      return false;
    }
  }
  return true;
}

}  // namespace kelvo_cli
