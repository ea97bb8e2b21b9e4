// The secure link as a host drives it (IImClientSecurity on the client
// object) against real servers: kelvo-server's own TLS listener, and stunnel4
// and nginx's stream module in front of a clear-text kelvo-server, each
// reached directly and through microsocks asking for a username and
// password. Then each refusal with the line the host's OnLog receives, a
// certificate renewed on the server between two connections of one client,
// a TLS client at a clear-text server and the reverse, and the face's
// set-up rules as they hold around a real connection.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

#include "gtest/gtest.h"

#if defined(KELVO_SERVER_PATH)
#include "kelvo/im_client_network.h"
#include "kelvo/kelvo_core.h"
#include "support/e2e_client.h"
#include "support/e2e_password.h"
#include "support/e2e_process.h"
#include "support/recording_sink.h"
#include "support/socks5_proxy.h"
#include "support/tls_fixtures.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using e2e::Client;
using e2e::Millis;
using e2e::Password;
using e2e::TerminatorProcess;
using test::Escape;
using test::Gbk;
using test::TestCert;

const char kName[] = "im.kelvo.test";
const char kProxyUser[] = "player";
const char kProxyPassword[] = "s3cret-proxy";

// Certificates shared by every test of this file: made once, written once.
struct Certs {
  test::TempDir dir;
  TestCert ca, good, renewed, expired, selfSigned;
  std::string caFile, goodCert, goodKey, renewedCert, renewedKey, expiredCert, expiredKey,
      selfCert, selfKey;

  Certs() {
    ca = test::MakeCert({"Kelvo Test CA", {}, {}, -1, 30, true}, nullptr);
    good = test::MakeCert({kName, {kName}, {"127.0.0.1"}, -1, 30, false}, &ca);
    renewed = test::MakeCert({kName, {kName}, {"127.0.0.1"}, -1, 30, false}, &ca);
    expired = test::MakeCert({kName, {kName}, {"127.0.0.1"}, -30, -1, false}, &ca);
    selfSigned = test::MakeCert({kName, {kName}, {}, -1, 30, false}, nullptr);
    caFile = dir.Write("ca.pem", ca.certPem);
    goodCert = dir.Write("good.pem", good.certPem);
    goodKey = dir.Write("good.key", good.keyPem);
    renewedCert = dir.Write("renewed.pem", renewed.certPem);
    renewedKey = dir.Write("renewed.key", renewed.keyPem);
    expiredCert = dir.Write("expired.pem", expired.certPem);
    expiredKey = dir.Write("expired.key", expired.keyPem);
    selfCert = dir.Write("self.pem", selfSigned.certPem);
    selfKey = dir.Write("self.key", selfSigned.keyPem);
  }
  bool ok() const {
    return ca.ok() && good.ok() && renewed.ok() && expired.ok() && selfSigned.ok() &&
           !selfKey.empty();
  }
};

// Made at the first use; its folder goes when the test program ends.
const Certs& TheCerts() {
  static const Certs certs;
  return certs;
}

// How a client is told to trust the server.
enum class Trust { kCaFile, kPin };

struct Secure {
  std::string serverName = kName;
  Trust trust = Trust::kCaFile;
  const TestCert* pinned = nullptr;  // kPin: this certificate's key
  std::string proxyUser, proxyPassword;
};

// Applies `s` through the public face; every call must be accepted.
::testing::AssertionResult Apply(Client& c, const Secure& s) {
  IImClientSecurity* sec = c.security();
  if (sec == nullptr) return ::testing::AssertionFailure() << "no IImClientSecurity";
  if (!sec->SetTlsServerName(s.serverName.c_str()))
    return ::testing::AssertionFailure() << "SetTlsServerName";
  const bool trusted = s.trust == Trust::kPin
                           ? sec->SetTlsTrustPin(s.pinned->pin.data(), KELVO_TLS_PIN_SIZE)
                           : sec->SetTlsTrustCaFile(TheCerts().caFile.c_str());
  if (!trusted) return ::testing::AssertionFailure() << "trust";
  if (!sec->SetTlsMode(KELVO_TLS_ON)) return ::testing::AssertionFailure() << "SetTlsMode";
  if (!s.proxyUser.empty() &&
      !sec->SetProxyCredentials(s.proxyUser.c_str(), s.proxyPassword.c_str()))
    return ::testing::AssertionFailure() << "SetProxyCredentials";
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// A whole session over TLS.

enum class Front { kKelvoServer, kStunnel, kNginx };

struct Route {
  const char* name;
  Front front;
  bool viaProxy;
  Trust trust;
  const char* serverName;
};

void PrintTo(const Route& route, std::ostream* out) { *out << route.name; }

class SecureSession : public ::testing::TestWithParam<Route> {
 protected:
  void SetUp() override {
    const Certs& certs = TheCerts();
    ASSERT_TRUE(certs.ok());
    const Route& r = GetParam();
    std::string error;
    if (r.front == Front::kKelvoServer) {
      ASSERT_TRUE(server_.Start(KELVO_SERVER_PATH, &error,
                                {"--tls-cert", certs.goodCert, "--tls-key", certs.goodKey}))
          << error;
      port_ = server_.port();
    } else {
      const auto kind = r.front == Front::kStunnel ? TerminatorProcess::Kind::kStunnel
                                                   : TerminatorProcess::Kind::kNginx;
      const std::string missing = TerminatorProcess::Missing(kind);
      if (!missing.empty()) GTEST_SKIP() << "SKIPPED: " << missing << " is missing";
      ASSERT_TRUE(server_.Start(KELVO_SERVER_PATH, &error)) << error;
      ASSERT_TRUE(front_.Start(kind, server_.port(), certs.goodCert, certs.goodKey,
                               work_.path(), &error))
          << error;
      port_ = front_.port();
    }
    if (r.viaProxy && !proxy_.Start(kProxyUser, kProxyPassword)) GTEST_SKIP() << proxy_.error();
  }

  bool LogIn(Client& c, uint32_t id, const std::string& password) {
    const Route& r = GetParam();
    Secure s;
    s.serverName = r.serverName;
    s.trust = r.trust;
    s.pinned = &TheCerts().good;
    if (r.viaProxy) {
      s.proxyUser = kProxyUser;
      s.proxyPassword = kProxyPassword;
    }
    const auto digest = Password(password);
    return Apply(c, s) && c.Start(port_, id, digest.data(), r.viaProxy ? proxy_.port() : 0);
  }

  e2e::ServerProcess server_;
  test::TempDir work_;
  TerminatorProcess front_;
  test::MicrosocksProxy proxy_;
  uint16_t port_ = 0;
};

TEST_P(SecureSession, LoginRosterChatOfflineMessageAndLogout) {
  e2e::PlayWholeSession([this](Client& c, uint32_t id, const std::string& password) {
    return LogIn(c, id, password);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Routes, SecureSession,
    ::testing::Values(Route{"KelvoServer", Front::kKelvoServer, false, Trust::kCaFile, kName},
                      Route{"KelvoServerViaProxy", Front::kKelvoServer, true, Trust::kPin, kName},
                      Route{"Stunnel", Front::kStunnel, false, Trust::kPin, kName},
                      Route{"StunnelViaProxy", Front::kStunnel, true, Trust::kCaFile, "127.0.0.1"},
                      Route{"Nginx", Front::kNginx, false, Trust::kCaFile, "127.0.0.1"},
                      Route{"NginxViaProxy", Front::kNginx, true, Trust::kPin, kName}),
    [](const ::testing::TestParamInfo<Route>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Failures, renewal and set-up.

class SecureLink : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TheCerts().ok()); }

  // A kelvo-server serving `cert`/`key` ("" for clear text).
  static bool StartServer(e2e::ServerProcess* s, const std::string& cert, const std::string& key,
                          bool logToPipe = false) {
    std::string error;
    const std::vector<std::string> tls =
        cert.empty() ? std::vector<std::string>{}
                     : std::vector<std::string>{"--tls-cert", cert, "--tls-key", key};
    const bool ok = s->Start(KELVO_SERVER_PATH, &error, tls, logToPipe);
    if (!ok) ADD_FAILURE() << error;
    return ok;
  }

  static std::string Failed(uint16_t port, const std::string& reason) {
    return "OnLog(" + Escape(("ImServerClient: connect to 127.0.0.1:" + std::to_string(port) +
                              " failed: " + reason + "\n")
                                 .c_str()) +
           ")";
  }
};

TEST_F(SecureLink, EachRefusalEndsTheAttemptWithOneLineNamingIt) {
  const Certs& certs = TheCerts();
  e2e::ServerProcess good, expired, selfSigned, clear;
  ASSERT_TRUE(StartServer(&good, certs.goodCert, certs.goodKey));
  ASSERT_TRUE(StartServer(&expired, certs.expiredCert, certs.expiredKey));
  ASSERT_TRUE(StartServer(&selfSigned, certs.selfCert, certs.selfKey));
  ASSERT_TRUE(StartServer(&clear, "", ""));
  test::MicrosocksProxy proxy;
  const bool haveProxy = proxy.Start(kProxyUser, kProxyPassword);

  Secure byCa;
  Secure otherName = byCa;
  otherName.serverName = "other.kelvo.test";
  Secure pinnedToOther = byCa;
  pinnedToOther.trust = Trust::kPin;
  pinnedToOther.pinned = &certs.selfSigned;
  Secure wrongProxyPassword = byCa;
  wrongProxyPassword.proxyUser = kProxyUser;
  wrongProxyPassword.proxyPassword = "not-the-password";
  struct Row {
    const char* name;
    uint16_t port;
    Secure secure;
    bool viaProxy;
    std::string reason;  // after "connect to ... failed: "
  } rows[] = {
      {"expired", expired.port(), byCa, false, "certificate verify failed: certificate has expired"},
      {"self-signed, not trusted", selfSigned.port(), byCa, false,
       "certificate verify failed: self-signed certificate"},
      {"another name", good.port(), otherName, false, "certificate verify failed: hostname mismatch"},
      {"pin of another key", good.port(), pinnedToOther, false,
       "certificate verify failed: public key pin mismatch"},
      // The server reads the ClientHello as a message that is not one and
      // hangs up: a reason of its own, well within the attempt's limit.
      {"clear-text server", clear.port(), byCa, false,
       "TLS handshake failed: the server closed the connection"},
      {"proxy refuses the credentials", good.port(), wrongProxyPassword, true,
       "proxy refused the username and password (status 0x02)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.viaProxy && !haveProxy) {
      std::printf("%s: SKIPPED: %s\n", row.name, proxy.error().c_str());
      continue;
    }
    Client c;
    ASSERT_TRUE(Apply(c, row.secure));
    ServerAddress address{};
    address.serverIp = 0x7F000001;
    address.serverPort = row.port;
    if (row.viaProxy) {
      address.proxyIp = 0x7F000001;
      address.proxyPort = proxy.port();
    }
    ASSERT_TRUE(c->Connect(&address));
    // Past the attempt's 10 s limit, so that a starved machine (a sanitizer
    // build beside a CPU hog) still sees the outcome: a refusal that came as
    // a timeout fails below, on its line.
    ASSERT_TRUE(c.WaitFor("OnConnect(0)", std::chrono::seconds(12))) << c.events().All();
    std::string line = Failed(row.port, row.reason);
    if (row.viaProxy) {
      line = "OnLog(" +
             Escape(("ImServerClient: connect to 127.0.0.1:" + std::to_string(row.port) +
                     " via proxy 127.0.0.1:" + std::to_string(proxy.port()) +
                     " failed: " + row.reason + "\n")
                        .c_str()) +
             ")";
    }
    // Exactly this line and the outcome: nothing else reached the host.
    EXPECT_EQ(c.events().All(), line + "\nOnConnect(0)\n");
    std::printf("%s: %s", row.name, c.events().All().c_str());
  }
}

// ConnectTo's host is the name the certificate must carry when no name was
// set; a name that was set still wins.
TEST_F(SecureLink, ConnectToChecksTheCertificateAgainstTheHostName) {
  const Certs& certs = TheCerts();
  test::TempDir dir;
  const TestCert local = test::MakeCert({"localhost", {"localhost"}, {}, -1, 30, false}, &certs.ca);
  ASSERT_TRUE(local.ok());
  e2e::ServerProcess forLocalhost, forName;
  ASSERT_TRUE(StartServer(&forLocalhost, dir.Write("local.pem", local.certPem),
                          dir.Write("local.key", local.keyPem)));
  ASSERT_TRUE(StartServer(&forName, certs.goodCert, certs.goodKey));
  struct Row {
    const char* name;
    uint16_t port;
    const char* serverName;  // "": none set
    std::string outcome;     // the events the host reads
  } rows[] = {
      {"a certificate for the host", forLocalhost.port(), "", "OnConnect(1)\n"},
      {"a certificate for another name", forName.port(), "",
       "OnLog(" +
           Escape(("ImServerClient: connect to localhost:" + std::to_string(forName.port()) +
                   " failed: certificate verify failed: hostname mismatch\n")
                      .c_str()) +
           ")\nOnConnect(0)\n"},
      {"the name set, not the host", forName.port(), kName, "OnConnect(1)\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Client c;
    IImClientSecurity* const sec = c.security();
    ASSERT_NE(sec, nullptr);
    if (row.serverName[0] != '\0') {
      ASSERT_TRUE(sec->SetTlsServerName(row.serverName));
    }
    ASSERT_TRUE(sec->SetTlsTrustCaFile(certs.caFile.c_str()));
    ASSERT_TRUE(sec->SetTlsMode(KELVO_TLS_ON));
    auto* const net = static_cast<IImClientNetwork*>(
        c->QueryInterface(IID_IImClientNetwork, IM_NETWORK_INTERFACE_VERSION));
    ASSERT_NE(net, nullptr);
    ASSERT_TRUE(net->ConnectTo("localhost", row.port));
    ASSERT_TRUE(c.WaitFor("OnConnect(")) << c.events().All();
    EXPECT_EQ(c.events().All(), row.outcome);
  }
}

TEST_F(SecureLink, ClearTextClientAtATlsServerEndsWithAReasonNotAHang) {
  const Certs& certs = TheCerts();
  e2e::ServerProcess server;
  ASSERT_TRUE(StartServer(&server, certs.goodCert, certs.goodKey));
  Client c;  // never asks for the security face
  ASSERT_TRUE(c.ConnectTo(server.port()));
  const auto digest = Password("alice");
  ASSERT_TRUE(c->Login(1001, digest.data(), nullptr));
  ASSERT_TRUE(c.WaitFor("OnClose(")) << c.events().All();
  EXPECT_TRUE(c.events().Saw("OnLog('ImServerClient: connection to 127.0.0.1:" +
                             std::to_string(server.port()) + " lost: "))
      << c.events().All();
  EXPECT_FALSE(c.events().Saw("OnLoginResult")) << c.events().All();
  std::printf("%s", c.events().All().c_str());
}

TEST_F(SecureLink, RenewedCertificateServesTheNextConnectionOfTheSameClient) {
  const Certs& certs = TheCerts();
  test::TempDir dir;
  const std::string cert = dir.Write("server.pem", certs.good.certPem);
  const std::string key = dir.Write("server.key", certs.good.keyPem);
  e2e::ServerProcess server;
  ASSERT_TRUE(StartServer(&server, cert, key, true));
  Secure byCa, pinnedToRenewed;
  pinnedToRenewed.trust = Trust::kPin;
  pinnedToRenewed.pinned = &certs.renewed;

  Client alice, bob;
  const auto alicePassword = Password("alice");
  ASSERT_TRUE(Apply(alice, byCa));
  ASSERT_TRUE(alice.Start(server.port(), 1001, alicePassword.data())) << alice.events().All();
  ASSERT_TRUE(Apply(bob, pinnedToRenewed));
  ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = server.port();
  ASSERT_TRUE(bob->Connect(&address));
  ASSERT_TRUE(bob.WaitFor("OnConnect(0)")) << bob.events().All();
  EXPECT_TRUE(bob.events().Saw(
      Failed(server.port(), "certificate verify failed: public key pin mismatch")));

  dir.Write("server.pem", certs.renewed.certPem);
  dir.Write("server.key", certs.renewed.keyPem);
  ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
  ASSERT_TRUE(server.WaitForLog("SIGHUP: TLS certificate and key reloaded", Millis(10000)));

  // The connection made before the renewal goes on.
  ASSERT_TRUE(alice->SearchUser(0, 0, "bob"));
  ASSERT_TRUE(alice.WaitFor("OnSearchUserListEnd(1)")) << alice.events().All();
  // Its client reconnects with its settings unchanged and meets the new
  // certificate (same CA); the client pinned to the new key gets in now.
  ASSERT_TRUE(alice->Close());
  ASSERT_TRUE(alice.Start(server.port(), 1001, alicePassword.data())) << alice.events().All();
  const auto bobPassword = Password("bob");
  ASSERT_TRUE(bob.Start(server.port(), 1002, bobPassword.data())) << bob.events().All();
  EXPECT_TRUE(alice.WaitFor("OnOnlineStateChanged(1002)")) << alice.events().All();
}

TEST_F(SecureLink, SettingsAreCheckedAtSetUpAndFrozenWhileAConnectionExists) {
  const Certs& certs = TheCerts();
  e2e::ServerProcess server;
  ASSERT_TRUE(StartServer(&server, certs.goodCert, certs.goodKey));
  test::TempDir dir;
  const std::string notPem = dir.Write("ca.txt", "not a certificate\n");
  Client c;
  ASSERT_NE(c.get(), nullptr);
  // Another minor version of the interface is not this one.
  EXPECT_EQ(c->QueryInterface(IID_IImClientSecurity, IM_SECURITY_INTERFACE_VERSION + 0x00010000),
            nullptr);
  EXPECT_EQ(c->QueryInterface(IID_IImClientSecurity, IM_SECURITY_INTERFACE_VERSION | 0x0102),
            c.security());
  IImClientSecurity* sec = c.security();
  ASSERT_NE(sec, nullptr);
  ASSERT_TRUE(Apply(c, Secure{}));

  // Refused, and the settings made before stay in force.
  EXPECT_FALSE(sec->SetTlsTrustCaFile((dir.path() + "/missing.pem").c_str()));
  EXPECT_FALSE(sec->SetTlsTrustCaFile(notPem.c_str()));
  EXPECT_FALSE(sec->SetTlsServerName(""));
  const auto password = Password("alice");
  ASSERT_TRUE(c.Start(server.port(), 1001, password.data())) << c.events().All();

  // Nothing changes under a connection.
  EXPECT_FALSE(sec->SetTlsMode(KELVO_TLS_OFF));
  EXPECT_FALSE(sec->SetTlsServerName("other.kelvo.test"));
  EXPECT_FALSE(sec->SetTlsTrustPin(certs.selfSigned.pin.data(), KELVO_TLS_PIN_SIZE));
  EXPECT_FALSE(sec->SetTlsTrustSystemStore());
  EXPECT_FALSE(sec->SetProxyCredentials(kProxyUser, kProxyPassword));

  // After Close a change holds from the next Connect.
  ASSERT_TRUE(c->Close());
  ASSERT_TRUE(sec->SetTlsServerName("other.kelvo.test"));
  ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = server.port();
  ASSERT_TRUE(c->Connect(&address));
  ASSERT_TRUE(c.WaitFor("OnConnect(0)")) << c.events().All();
  EXPECT_TRUE(c.events().Saw(
      Failed(server.port(), "certificate verify failed: hostname mismatch")))
      << c.events().All();
  // And once that attempt has ended, settings may change again.
  EXPECT_TRUE(sec->SetTlsMode(KELVO_TLS_OFF));
}

}  // namespace
}  // namespace kelvo

#else
TEST(SecureSession, SkippedWithoutTheServer) {
  GTEST_SKIP() << "kelvo-server is not built (KELVO_BUILD_TOOLS=OFF): end-to-end tests skipped";
}
#endif
