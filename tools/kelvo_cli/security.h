// The CLI's secure-link flags, applied through the client's security face
// (IImClientSecurity) before any connection exists.
#ifndef KELVO_TOOLS_KELVO_CLI_SECURITY_H_
#define KELVO_TOOLS_KELVO_CLI_SECURITY_H_

#include <string>

#include "kelvo/im_client.h"

namespace kelvo_cli {

struct SecurityOptions {
  bool tls = false;
  std::string serverName;     // --tls-server-name
  std::string caFile;         // --tls-ca
  std::string pinHex;         // --tls-pin: 64 hex digits
  std::string proxyUser;      // --proxy-user, UTF-8
  std::string proxyPassword;  // --proxy-password, UTF-8
  bool proxyCredentials = false;

  bool Any() const { return tls || proxyCredentials; }
};

// Checks the flags against each other. False with *error for a usage
// mistake (a --tls-* flag without --tls, --tls without a server name, both
// a CA file and a pin, a malformed pin, one credential without the other).
bool CheckSecurityOptions(const SecurityOptions& options, std::string* error);

// Asks the client for its security face and applies every option. False
// with *error when the module has no such face or refuses a setting: TLS
// was asked for, so nothing may connect without it.
bool ApplySecurity(kelvo::IImClient* client, const SecurityOptions& options, std::string* error);

}  // namespace kelvo_cli

#endif  // KELVO_TOOLS_KELVO_CLI_SECURITY_H_
