// The secure link of the Windows build (SChannel) under Wine, as a host
// drives it: IImClientSecurity against kelvo-server's TLS listeners on the
// Linux side (secure_session_wine.sh starts them and microsocks, and hands
// ports, files and pins over through the environment). A whole session
// directly and through the proxy with its username and password, and each
// refusal with the line the host's OnLog receives.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kelvo/im_client_security.h"
#include "support/e2e_client.h"
#include "support/recording_sink.h"

namespace kelvo {
namespace {

using e2e::Client;
using test::Escape;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

uint16_t Port(const char* name) { return static_cast<uint16_t>(std::atoi(Env(name).c_str())); }

std::array<uint8_t, 32> Pin(const char* name) {
  std::array<uint8_t, 32> pin{};
  const std::string hex = Env(name);
  for (std::size_t i = 0; i < pin.size() && 2 * i + 1 < hex.size(); ++i) {
    pin[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return pin;
}

// MD5 of the demo accounts' passwords (no OpenSSL in this build to make them).
std::array<uint8_t, 16> Digest(const std::string& password) {
  const char* hex = password == "alice" ? "6384e2b2184bcbf58eccf10ca7a6563c"
                    : password == "bob" ? "9f9d51bc70ef21ca5c14f307980a29d8"
                                        : "97304531204ef7431330c20427d95481";  // xiaoming
  std::array<uint8_t, 16> d{};
  for (std::size_t i = 0; i < d.size(); ++i) {
    d[i] = static_cast<uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
  }
  return d;
}

struct Secure {
  std::string serverName = "im.kelvo.test";
  bool pinned = false;
  std::array<uint8_t, 32> pin{};
  std::string proxyUser, proxyPassword;
};

::testing::AssertionResult Apply(Client& c, const Secure& s) {
  IImClientSecurity* sec = c.security();
  if (sec == nullptr) return ::testing::AssertionFailure() << "no IImClientSecurity";
  const std::string ca = Env("KELVO_TLS_DIR") + "/ca.pem";
  if (!sec->SetTlsServerName(s.serverName.c_str()) ||
      !(s.pinned ? sec->SetTlsTrustPin(s.pin.data(), KELVO_TLS_PIN_SIZE)
                 : sec->SetTlsTrustCaFile(ca.c_str())) ||
      !sec->SetTlsMode(KELVO_TLS_ON) ||
      (!s.proxyUser.empty() &&
       !sec->SetProxyCredentials(s.proxyUser.c_str(), s.proxyPassword.c_str()))) {
    return ::testing::AssertionFailure() << "a setting was refused (CA file " << ca << ")";
  }
  return ::testing::AssertionSuccess();
}

class SecureDll : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("KELVO_TLS_DIR").empty()) GTEST_SKIP() << "SKIPPED: run through secure_session_wine.sh";
  }
};

TEST_F(SecureDll, WholeSessionDirectWithACaFile) {
  e2e::PlayWholeSession([](Client& c, uint32_t id, const std::string& password) {
    const auto digest = Digest(password);
    return Apply(c, Secure{}) && c.Start(Port("KELVO_TLS_GOOD_PORT"), id, digest.data());
  });
}

TEST_F(SecureDll, WholeSessionThroughAProxyWithCredentialsAndAPin) {
  Secure s;
  s.serverName = "127.0.0.1";
  s.pinned = true;
  s.pin = Pin("KELVO_TLS_GOOD_PIN");
  s.proxyUser = Env("KELVO_PROXY_USER");
  s.proxyPassword = Env("KELVO_PROXY_PASSWORD");
  e2e::PlayWholeSession([&](Client& c, uint32_t id, const std::string& password) {
    const auto digest = Digest(password);
    return Apply(c, s) &&
           c.Start(Port("KELVO_TLS_GOOD_PORT"), id, digest.data(), Port("KELVO_PROXY_PORT"));
  });
}

TEST_F(SecureDll, EachRefusalEndsTheAttemptWithOneLineNamingIt) {
  Secure byCa;
  Secure otherName = byCa;
  otherName.serverName = "other.kelvo.test";
  Secure pinnedToOther = byCa;
  pinnedToOther.pinned = true;
  pinnedToOther.pin = Pin("KELVO_TLS_SELF_PIN");
  Secure wrongProxyPassword = byCa;
  wrongProxyPassword.proxyUser = Env("KELVO_PROXY_USER");
  wrongProxyPassword.proxyPassword = "not-the-password";
  struct Row {
    const char* name;
    const char* port;
    Secure secure;
    bool viaProxy;
    std::string reason;  // after "failed: "; ending in a space: a prefix
  } rows[] = {
      {"expired", "KELVO_TLS_EXPIRED_PORT", byCa, false,
       "certificate verify failed: certificate has expired"},
      {"self-signed, not trusted", "KELVO_TLS_SELF_PORT", byCa, false,
       "certificate verify failed: self-signed certificate"},
      {"another name", "KELVO_TLS_GOOD_PORT", otherName, false,
       "certificate verify failed: hostname mismatch"},
      {"pin of another key", "KELVO_TLS_GOOD_PORT", pinnedToOther, false,
       "certificate verify failed: public key pin mismatch"},
      {"clear-text server", "KELVO_CLEAR_PORT", byCa, false, "TLS handshake failed: "},
      {"proxy refuses the credentials", "KELVO_TLS_GOOD_PORT", wrongProxyPassword, true,
       "proxy refused the username and password (status 0x02)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Client c;
    ASSERT_TRUE(Apply(c, row.secure));
    ServerAddress address{};
    address.serverIp = 0x7F000001;
    address.serverPort = Port(row.port);
    std::string head = "ImServerClient: connect to 127.0.0.1:" + std::to_string(Port(row.port));
    if (row.viaProxy) {
      address.proxyIp = 0x7F000001;
      address.proxyPort = Port("KELVO_PROXY_PORT");
      head += " via proxy 127.0.0.1:" + std::to_string(address.proxyPort);
    }
    ASSERT_TRUE(c->Connect(&address));
    // Half the attempt's 10 s limit: a refusal, not a timeout.
    ASSERT_TRUE(c.WaitFor("OnConnect(0)")) << c.events().All();
    const std::string all = c.events().All();
    const std::string line = "OnLog(" + Escape((head + " failed: " + row.reason).c_str());
    if (row.reason.back() == ' ') {
      EXPECT_EQ(all.compare(0, line.size() - 1, line, 0, line.size() - 1), 0) << all;
    } else {
      EXPECT_EQ(all, line.substr(0, line.size() - 1) + "\\x0a')\nOnConnect(0)\n");
    }
    std::printf("%s: %s", row.name, all.c_str());
  }
}

}  // namespace
}  // namespace kelvo
