// kelvo-server's TLS listener, from a client TlsSession over a real socket:
// a login over TLS, a clear-text client turned away with a reason in the
// server's log, and a certificate renewed by SIGHUP while a connection made
// with the old one goes on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "gtest/gtest.h"

#if defined(KELVO_SERVER_PATH)
#include "nimbo2/msg_head.h"
#include "protocol/message_ids.h"
#include "protocol/request_layouts.h"
#include "support/e2e_password.h"
#include "support/e2e_process.h"
#include "support/tls_fixtures.h"

namespace kelvo {
namespace {

using e2e::ChildProcess;
using e2e::Millis;
using Nimbo2::TlsConfig;
using Nimbo2::TlsSession;
using Nimbo2::TlsTrust;
using State = TlsSession::State;
using test::TestCert;

const char kName[] = "im.kelvo.test";

std::string LoginRequest(uint32_t userId, const std::string& password) {
  std::string m(request::kLoginSize, '\0');
  Nimbo2::NimboMsgHead head;
  head.SetHead(static_cast<unsigned short>(m.size()), 11, IM_MSG_ID_LOGIN, false, false, false);
  std::memcpy(&m[0], head.bytes, sizeof head.bytes);
  for (int i = 0; i < 4; ++i) {
    m[request::kLoginUserIdOffset + i] = static_cast<char>(userId >> (8 * i));
  }
  m[request::kLoginMarkerOffset] = static_cast<char>(request::kLoginMarker);
  const auto digest = e2e::Password(password);
  std::memcpy(&m[request::kLoginPasswordOffset], digest.data(), digest.size());
  return m;
}

// A closed socket when the connection fails.
struct Socket {
  int fd = -1;
  explicit Socket(uint16_t port) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~Socket() {
    if (fd >= 0) close(fd);
  }
};

class TlsListener : public ::testing::Test {
 protected:
  void SetUp() override {
    ca_ = test::MakeCert({"Kelvo Test CA", {}, {}, -1, 30, true}, nullptr);
    first_ = test::MakeCert({kName, {kName}, {}, -1, 30, false}, &ca_);
    second_ = test::MakeCert({kName, {kName}, {}, -1, 30, false}, &ca_);
    ASSERT_TRUE(ca_.ok() && first_.ok() && second_.ok());
    cert_ = dir_.Write("server.pem", first_.certPem);
    key_ = dir_.Write("server.key", first_.keyPem);
    std::string error;
    ASSERT_TRUE(server_.Start({KELVO_SERVER_PATH, "--port", "0", "--tls-cert", cert_, "--tls-key",
                               key_},
                              false, true, &error))
        << error;
    std::string line;
    ASSERT_TRUE(WaitForLine("listening on 127.0.0.1:", &line));
    port_ = static_cast<uint16_t>(std::stoi(line.substr(line.find(':') + 1)));
  }

  // The next line of the server's output (log included) that holds `text`.
  bool WaitForLine(const std::string& text, std::string* line = nullptr) {
    std::string l;
    while (server_.ReadLine(&l, Millis(10000))) {
      if (l.find(text) != std::string::npos) {
        if (line != nullptr) *line = l;
        return true;
      }
    }
    return false;
  }

  std::unique_ptr<TlsSession> Session(const TestCert* pinned) const {
    TlsConfig c;
    c.serverName = kName;
    if (pinned != nullptr) {
      c.trust = TlsTrust::kPin;
      c.pin = pinned->pin;
    } else {
      c.trust = TlsTrust::kCaFile;
      c.caPem = ca_.certPem;
    }
    std::string error;
    auto s = TlsSession::Create(c, &error);
    EXPECT_NE(s, nullptr) << error;
    return s;
  }

  // Logs alice in over `s` and reads messages until her login answer.
  static bool LogsIn(TlsSession& s, int fd) {
    if (!test::WriteTls(s, fd, LoginRequest(1001, "alice"))) return false;
    for (int i = 0; i < 20; ++i) {
      const std::string head = test::ReadTls(s, fd, 4);
      if (head.size() != 4) return false;
      const auto* h = reinterpret_cast<const uint8_t*>(head.data());
      const std::size_t length = Nimbo2::NimboMsgHead::Length(h);
      if (length < 4 || test::ReadTls(s, fd, length - 4).size() != length - 4) return false;
      if (Nimbo2::NimboMsgHead::Id(h) == IM_MSG_ID_MY_LOGIN_OK) return true;
    }
    return false;
  }

  test::TempDir dir_;
  TestCert ca_, first_, second_;
  std::string cert_, key_;
  ChildProcess server_;
  uint16_t port_ = 0;
};

TEST_F(TlsListener, LogsInOverTls) {
  auto s = Session(nullptr);
  Socket sock(port_);
  ASSERT_GE(sock.fd, 0);
  ASSERT_EQ(test::DriveHandshake(*s, sock.fd), State::kOpen) << s->FailureText();
  EXPECT_TRUE(LogsIn(*s, sock.fd));
}

TEST_F(TlsListener, TurnsAwayAClearTextClientWithAReason) {
  Socket sock(port_);
  ASSERT_GE(sock.fd, 0);
  const std::string login = LoginRequest(1001, "alice");
  ASSERT_TRUE(test::SendAll(sock.fd, std::vector<uint8_t>(login.begin(), login.end())));
  // No answer but the end of the connection (an alert at most).
  std::string line;
  ASSERT_TRUE(WaitForLine("TLS handshake failed: ", &line));
  EXPECT_NE(line.find("session 1: TLS handshake failed: "), std::string::npos) << line;
  char buf[64];
  ssize_t n;
  std::string got;
  while ((n = recv(sock.fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<std::size_t>(n));
  EXPECT_EQ(got.find(login.substr(0, 4)), std::string::npos);
  EXPECT_TRUE(got.empty() || got[0] == 0x15) << "only a TLS alert, if anything";
}

TEST_F(TlsListener, SighupRenewsTheCertificateForNewConnections) {
  auto before = Session(&first_);
  Socket old(port_);
  ASSERT_EQ(test::DriveHandshake(*before, old.fd), State::kOpen) << before->FailureText();

  // A pair that does not load changes nothing.
  dir_.Write("server.key", "not a key");
  ASSERT_EQ(kill(server_.pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitForLine("SIGHUP: TLS reload failed, keeping the current certificate"));
  {
    auto s = Session(&first_);
    Socket sock(port_);
    EXPECT_EQ(test::DriveHandshake(*s, sock.fd), State::kOpen) << s->FailureText();
  }

  dir_.Write("server.pem", second_.certPem);
  dir_.Write("server.key", second_.keyPem);
  ASSERT_EQ(kill(server_.pid(), SIGHUP), 0);
  ASSERT_TRUE(WaitForLine("SIGHUP: TLS certificate and key reloaded"));
  {
    auto s = Session(&second_);
    Socket sock(port_);
    EXPECT_EQ(test::DriveHandshake(*s, sock.fd), State::kOpen) << s->FailureText();
  }
  {
    auto s = Session(&first_);
    Socket sock(port_);
    EXPECT_EQ(test::DriveHandshake(*s, sock.fd), State::kFailed);
    EXPECT_EQ(s->FailureText(), "certificate verify failed: public key pin mismatch");
  }
  // The connection made before the renewal carries on with its session.
  EXPECT_TRUE(LogsIn(*before, old.fd));
}

}  // namespace
}  // namespace kelvo
#endif  // KELVO_SERVER_PATH
