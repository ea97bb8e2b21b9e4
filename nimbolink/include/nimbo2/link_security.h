// What makes a link secure: TLS with the trust its certificate check uses,
// and the credentials a SOCKS5 proxy asks for. The client's security face
// fills one LinkSecurity with checked values; the socket client copies it
// when a connection starts, so a later change never reaches a connection
// under way.
#ifndef NIMBO2_LINK_SECURITY_H_
#define NIMBO2_LINK_SECURITY_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace Nimbo2 {

enum class TlsTrust : uint32_t {
  kSystemStore = 0,  // the system's certificate authorities
  kCaFile = 1,       // only the certificates in TlsConfig::caPem
  kPin = 2,          // only the key whose SubjectPublicKeyInfo hashes to TlsConfig::pin
};

constexpr std::size_t kTlsPinSize = 32;                 // SHA-256
constexpr std::size_t kMaxServerName = 253;             // a DNS name's longest text form
constexpr std::size_t kMaxProxyText = 255;              // RFC 1929 username and password
constexpr std::size_t kMaxCaFileBytes = 4u << 20;       // far above any real bundle

// Everything a TLS session needs. Verification is not optional: every field
// here chooses how, never whether.
struct TlsConfig {
  // Checked against the certificate; sent as SNI unless it is an IPv4
  // address (SNI carries DNS names only).
  std::string serverName;
  TlsTrust trust = TlsTrust::kSystemStore;
  std::string caFile;  // the path the CA certificates came from, for messages
  std::string caPem;   // the PEM text read from it when it was set
  std::array<uint8_t, kTlsPinSize> pin{};
};

struct LinkSecurity {
  bool tls = false;
  TlsConfig tlsConfig;
  // Empty username: no credentials, only "no authentication" is offered.
  std::string proxyUsername;
  std::string proxyPassword;
};

// A DNS name (labels of letters, digits, '-' and '_', 1..63 bytes each, at
// most kMaxServerName in all, no trailing dot) or a dotted IPv4 address.
bool IsValidServerName(const char* name);
// Four decimal parts of 0..255, no leading zeros.
bool IsIpv4Literal(const std::string& name);
// Not null, 1..kMaxProxyText bytes.
bool IsValidProxyText(const char* text);

// Reads a CA file (at most kMaxCaFileBytes; the path in code page 936 on
// Windows, bytes elsewhere) and checks that it holds at least one
// certificate and that every certificate block in it parses. On success
// *pem holds the file's text; on failure *error says why and *pem is
// untouched.
bool LoadCaFile(const char* path, std::string* pem, std::string* error);

}  // namespace Nimbo2

#endif  // NIMBO2_LINK_SECURITY_H_
