// The security face's set-up rules: every bad input is refused with false
// and leaves every setting as it was. Runs on Linux (OpenSSL reads the CA
// file) and under Wine (CryptoAPI reads it).
#include "transport/security.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "kelvo/im_client_security.h"

namespace kelvo {
namespace test {
namespace {

using Nimbo2::LinkSecurity;
using Nimbo2::TlsTrust;

// A CA certificate (P-256); only parsed here, never used to verify.
constexpr char kCaPem[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBkTCCATegAwIBAgIUYaNNo6W+AExMqyc//H0Wg/gTQm0wCgYIKoZIzj0EAwIw\n"
    "HjEcMBoGA1UEAwwTS2Vsdm8gc2V0dGluZ3MgdGVzdDAeFw0yNjEyMDcxNzM3Mjla\n"
    "Fw0zNjEyMDQxNzM3MjlaMB4xHDAaBgNVBAMME0tlbHZvIHNldHRpbmdzIHRlc3Qw\n"
    "WTATBgcqhkjOPQIBBggqhkjOPQMBBwNCAAT31EVUeERxc84r9Tz47pvcKzsTlNIL\n"
    "3a3ZutJuCzKRXj/uXoE70kwQJYSLg7/shbWryAab9ULMG49B5YI1f9r0o1MwUTAd\n"
    "BgNVHQ4EFgQUgwJpwUow1cGNgReYt4cyhBadV9MwHwYDVR0jBBgwFoAUgwJpwUow\n"
    "1cGNgReYt4cyhBadV9MwDwYDVR0TAQH/BAUwAwEB/zAKBggqhkjOPQQDAgNIADBF\n"
    "AiAGmniGu+bU4M95/dQevRDKxRn2RpUMFUXJO4hH54trTwIhAJZowbfgkIWgpqVp\n"
    "SBNE0rEwZHb53/R5KlOpJIRKEaWQ\n"
    "-----END CERTIFICATE-----\n";

bool Same(const LinkSecurity& a, const LinkSecurity& b) {
  return a.tls == b.tls && a.tlsConfig.serverName == b.tlsConfig.serverName &&
         a.tlsConfig.trust == b.tlsConfig.trust && a.tlsConfig.caFile == b.tlsConfig.caFile &&
         a.tlsConfig.caPem == b.tlsConfig.caPem && a.tlsConfig.pin == b.tlsConfig.pin &&
         a.proxyUsername == b.proxyUsername && a.proxyPassword == b.proxyPassword;
}

class Files {
 public:
  Files() {
    dir_ = std::filesystem::temp_directory_path() /
           ("kelvo-security-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::filesystem::create_directories(dir_);
  }
  ~Files() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::filesystem::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
  std::string dir() const { return dir_.string(); }

 private:
  std::filesystem::path dir_;
};

TEST(SecuritySettings, RefusesBadInputAndChangesNothing) {
  Files files;
  const std::string ca = files.Write("ca.pem", kCaPem);
  const std::string notPem = files.Write("notes.txt", "just some text\n");
  std::string broken = kCaPem;
  broken[100] = '!';  // not base64
  const std::string brokenFile = files.Write("broken.pem", std::string(kCaPem) + broken);
  const std::string missing = files.dir() + "/missing.pem";
  const std::string der = files.Write("ca.der", std::string("\x30\x82\x01\x91\x30\x82", 6));
  const std::string bundle =
      files.Write("bundle.pem", std::string("# ours\n") + kCaPem + "between\n" + kCaPem);
  const uint8_t pin[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                           17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
  const std::string name253 = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                              std::string(63, 'c') + "." + std::string(61, 'd');
  const std::string text255(255, 'x'), text256(256, 'x');

  // Steps run in order on one object: each either changes what `after`
  // describes, or is refused and changes nothing.
  struct Step {
    const char* name;
    std::function<bool(SecuritySettings&)> call;
    bool accepted;
    std::function<void(LinkSecurity&)> after;  // the expected change
  };
  const auto none = [](LinkSecurity&) {};
  const Step steps[] = {
      // ConnectTo's host is the name then.
      {"TLS on without a server name", [](SecuritySettings& s) { return s.SetTlsMode(1); }, true,
       [](LinkSecurity& l) { l.tls = true; }},
      {"TLS off before any name", [](SecuritySettings& s) { return s.SetTlsMode(0); }, true,
       [](LinkSecurity& l) { l.tls = false; }},
      {"null server name", [](SecuritySettings& s) { return s.SetTlsServerName(nullptr); }, false,
       none},
      {"trailing dot", [](SecuritySettings& s) { return s.SetTlsServerName("im.example."); },
       false, none},
      {"GBK bytes", [](SecuritySettings& s) { return s.SetTlsServerName("\xC1\xC4\xCC\xEC.cn"); },
       false, none},
      {"an IPv4 address out of range",
       [](SecuritySettings& s) { return s.SetTlsServerName("10.0.0.256"); }, false, none},
      {"254 bytes", [&](SecuritySettings& s) { return s.SetTlsServerName((name253 + "d").c_str()); },
       false, none},
      {"253 bytes", [&](SecuritySettings& s) { return s.SetTlsServerName(name253.c_str()); }, true,
       [&](LinkSecurity& l) { l.tlsConfig.serverName = name253; }},
      {"an IPv4 address", [](SecuritySettings& s) { return s.SetTlsServerName("127.0.0.1"); },
       true, [](LinkSecurity& l) { l.tlsConfig.serverName = "127.0.0.1"; }},
      {"a DNS name", [](SecuritySettings& s) { return s.SetTlsServerName("im.example.com"); }, true,
       [](LinkSecurity& l) { l.tlsConfig.serverName = "im.example.com"; }},
      {"unknown TLS mode", [](SecuritySettings& s) { return s.SetTlsMode(2); }, false, none},
      {"TLS on", [](SecuritySettings& s) { return s.SetTlsMode(KELVO_TLS_ON); }, true,
       [](LinkSecurity& l) { l.tls = true; }},
      {"empty server name with TLS on",
       [](SecuritySettings& s) { return s.SetTlsServerName(""); }, false, none},
      {"null CA file", [](SecuritySettings& s) { return s.SetTlsTrustCaFile(nullptr); }, false,
       none},
      {"missing CA file", [&](SecuritySettings& s) { return s.SetTlsTrustCaFile(missing.c_str()); },
       false, none},
      {"CA path is a folder",
       [&](SecuritySettings& s) { return s.SetTlsTrustCaFile(files.dir().c_str()); }, false, none},
      {"CA file without PEM",
       [&](SecuritySettings& s) { return s.SetTlsTrustCaFile(notPem.c_str()); }, false, none},
      {"CA file with a broken block",
       [&](SecuritySettings& s) { return s.SetTlsTrustCaFile(brokenFile.c_str()); }, false, none},
      {"CA file in DER", [&](SecuritySettings& s) { return s.SetTlsTrustCaFile(der.c_str()); },
       false, none},
      {"CA bundle with text between the blocks",
       [&](SecuritySettings& s) { return s.SetTlsTrustCaFile(bundle.c_str()); }, true,
       [&](LinkSecurity& l) {
         l.tlsConfig.trust = TlsTrust::kCaFile;
         l.tlsConfig.caFile = bundle;
         l.tlsConfig.caPem = std::string("# ours\n") + kCaPem + "between\n" + kCaPem;
       }},
      {"CA file", [&](SecuritySettings& s) { return s.SetTlsTrustCaFile(ca.c_str()); }, true,
       [&](LinkSecurity& l) {
         l.tlsConfig.trust = TlsTrust::kCaFile;
         l.tlsConfig.caFile = ca;
         l.tlsConfig.caPem = kCaPem;
       }},
      {"null pin", [](SecuritySettings& s) { return s.SetTlsTrustPin(nullptr, 32); }, false, none},
      {"short pin", [&](SecuritySettings& s) { return s.SetTlsTrustPin(pin, 31); }, false, none},
      {"pin", [&](SecuritySettings& s) { return s.SetTlsTrustPin(pin, 32); }, true,
       [&](LinkSecurity& l) {
         l.tlsConfig.trust = TlsTrust::kPin;
         l.tlsConfig.caFile.clear();
         l.tlsConfig.caPem.clear();
         std::copy(pin, pin + 32, l.tlsConfig.pin.begin());
       }},
      {"system store", [](SecuritySettings& s) { return s.SetTlsTrustSystemStore(); }, true,
       [](LinkSecurity& l) {
         l.tlsConfig.trust = TlsTrust::kSystemStore;
         l.tlsConfig.pin.fill(0);
       }},
      {"null username", [](SecuritySettings& s) { return s.SetProxyCredentials(nullptr, "p"); },
       false, none},
      {"username without password",
       [](SecuritySettings& s) { return s.SetProxyCredentials("u", ""); }, false, none},
      {"password of 256 bytes",
       [&](SecuritySettings& s) { return s.SetProxyCredentials("u", text256.c_str()); }, false,
       none},
      {"credentials of 255 bytes",
       [&](SecuritySettings& s) { return s.SetProxyCredentials(text255.c_str(), text255.c_str()); },
       true,
       [&](LinkSecurity& l) {
         l.proxyUsername = text255;
         l.proxyPassword = text255;
       }},
      {"forget the credentials", [](SecuritySettings& s) { return s.SetProxyCredentials("", ""); },
       true,
       [](LinkSecurity& l) {
         l.proxyUsername.clear();
         l.proxyPassword.clear();
       }},
      {"TLS off", [](SecuritySettings& s) { return s.SetTlsMode(KELVO_TLS_OFF); }, true,
       [](LinkSecurity& l) { l.tls = false; }},
      {"empty server name with TLS off",
       [](SecuritySettings& s) { return s.SetTlsServerName(""); }, true,
       [](LinkSecurity& l) { l.tlsConfig.serverName.clear(); }},
  };

  SecuritySettings settings;
  LinkSecurity expected;  // the defaults: TLS off, the system's store, no credentials
  ASSERT_TRUE(Same(settings.link(), expected));
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    EXPECT_EQ(step.call(settings), step.accepted);
    step.after(expected);
    EXPECT_TRUE(Same(settings.link(), expected));
  }
}

}  // namespace
}  // namespace test
}  // namespace kelvo
