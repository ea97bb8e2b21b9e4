// The logic behind IImClientSecurity: every setting is checked here and the
// checked values are kept in one Nimbo2::LinkSecurity, which the socket
// client copies when a connection starts.
//
// It knows nothing of connections or locks. The client object owns one,
// calls it under its own lock, and refuses every setter itself (false,
// nothing changed) while it has a connection, attempted or up.
// SetTlsTrustCaFile reads the file; the rest only copies.
#ifndef KELVO_TRANSPORT_SECURITY_H_
#define KELVO_TRANSPORT_SECURITY_H_

#include <cstdint>

#include "nimbo2/link_security.h"

namespace kelvo {

class SecuritySettings {
 public:
  // Each returns what the interface operation of the same name returns;
  // on false nothing has changed.
  bool SetTlsMode(uint32_t mode);
  bool SetTlsServerName(const char* serverName);
  bool SetTlsTrustSystemStore();
  bool SetTlsTrustCaFile(const char* path);
  bool SetTlsTrustPin(const uint8_t* sha256, uint32_t size);
  bool SetProxyCredentials(const char* username, const char* password);

  const Nimbo2::LinkSecurity& link() const { return link_; }

 private:
  Nimbo2::LinkSecurity link_;
};

}  // namespace kelvo

#endif  // KELVO_TRANSPORT_SECURITY_H_
