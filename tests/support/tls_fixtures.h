// Certificates made at test time (OpenSSL), and a folder to keep them in.
// Keys are P-256: quick to make, accepted by every TLS stack under test.
#ifndef KELVO_TESTS_SUPPORT_TLS_FIXTURES_H_
#define KELVO_TESTS_SUPPORT_TLS_FIXTURES_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo {
namespace test {

struct TestCert {
  std::string certPem;
  std::string keyPem;
  std::array<uint8_t, 32> pin{};  // SHA-256 of the SubjectPublicKeyInfo
  bool ok() const { return !certPem.empty(); }
};

struct CertSpec {
  std::string commonName;
  std::vector<std::string> dnsNames;     // subjectAltName DNS entries
  std::vector<std::string> ipAddresses;  // subjectAltName IP entries
  int notBeforeDays = -1;                // relative to now
  int notAfterDays = 30;
  bool isCa = false;
};

// Signed by `issuer`, or self-signed when it is null. !ok() on failure.
TestCert MakeCert(const CertSpec& spec, const TestCert* issuer);

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

}  // namespace test
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_TLS_FIXTURES_H_
