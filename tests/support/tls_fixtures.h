// Certificates made at test time (OpenSSL), a folder to keep them in, and a
// small blocking driver that runs a client TlsSession over a socket.
// Keys are P-256: quick to make, accepted by every TLS stack under test.
#ifndef KELVO_TESTS_SUPPORT_TLS_FIXTURES_H_
#define KELVO_TESTS_SUPPORT_TLS_FIXTURES_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tls_session.h"

namespace kelvo {
namespace test {

struct TestCert {
  std::string certPem;
  std::string keyPem;
  std::array<uint8_t, 32> pin{};  // SHA-256 of the SubjectPublicKeyInfo
  bool ok() const { return !certPem.empty(); }
};

struct CertProfile {
  std::string commonName;
  std::vector<std::string> dnsNames;     // subjectAltName DNS entries
  std::vector<std::string> ipAddresses;  // subjectAltName IP entries
  int notBeforeDays = -1;                // relative to now
  int notAfterDays = 30;
  bool isCa = false;
};

// Signed by `issuer`, or self-signed when it is null. !ok() on failure.
TestCert MakeCert(const CertProfile& profile, const TestCert* issuer);

// A fresh folder under $TMPDIR (or /tmp), removed with the files in it when
// this goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes `text` to path()/name and returns the file's path ("" on failure).
  std::string Write(const std::string& name, const std::string& text);

 private:
  std::string path_;
};

// The driver: every wait is bounded (10 s for bytes from the server).
bool SendAll(int fd, const std::vector<uint8_t>& bytes);
// Sends what the session has, then feeds it what the server sends next (or
// the end of the stream). False when nothing came in time.
bool PumpTls(Nimbo2::TlsSession& s, int fd);
// Runs the handshake to its end; a failure's alert is sent too.
Nimbo2::TlsSession::State DriveHandshake(Nimbo2::TlsSession& s, int fd);
// Reads exactly `n` plain bytes, or fewer when the stream ended or failed.
std::string ReadTls(Nimbo2::TlsSession& s, int fd, std::size_t n);
// Encrypts and sends `text`.
bool WriteTls(Nimbo2::TlsSession& s, int fd, const std::string& text);

}  // namespace test
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_TLS_FIXTURES_H_
