// The SChannel session against OpenSSL servers on the Linux side
// (schannel_wine.sh starts them and hands over ports and files through the
// environment): one handshake that verifies with a CA file and carries a
// line both ways, and every refusal with its reason line.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nimbo2/link_security.h"
#include "tls_session.h"

namespace kelvo {
namespace test {
namespace {

using Nimbo2::TlsConfig;
using Nimbo2::TlsSession;
using Nimbo2::TlsTrust;
using State = TlsSession::State;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

class Socket {
 public:
  explicit Socket(uint16_t port) {
    s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s_ != INVALID_SOCKET && connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      closesocket(s_);
      s_ = INVALID_SOCKET;
    }
  }
  ~Socket() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
  }
  bool ok() const { return s_ != INVALID_SOCKET; }
  bool Send(const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const int n = send(s_, reinterpret_cast<const char*>(bytes.data() + done),
                         static_cast<int>(bytes.size() - done), 0);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Bytes from the server into the session; false when none came in 10 s.
  bool Receive(TlsSession& s) {
    fd_set in;
    FD_ZERO(&in);
    FD_SET(s_, &in);
    timeval wait{10, 0};
    if (select(0, &in, nullptr, nullptr, &wait) != 1) return false;
    char buf[4096];
    const int n = recv(s_, buf, sizeof buf, 0);
    if (n > 0) {
      s.FeedCipher(reinterpret_cast<uint8_t*>(buf), static_cast<std::size_t>(n));
    } else {
      s.FeedCipherEnd();
    }
    return true;
  }

 private:
  SOCKET s_ = INVALID_SOCKET;
};

void Flush(TlsSession& s, Socket& sock) {
  std::vector<uint8_t> out;
  s.TakeCipher(&out);
  sock.Send(out);
}

State Handshake(TlsSession& s, Socket& sock) {
  for (int round = 0; round < 50; ++round) {
    const State st = s.Advance();
    Flush(s, sock);
    if (st != State::kHandshaking) return st;
    if (!sock.Receive(s)) break;
  }
  ADD_FAILURE() << "the handshake did not finish";
  return State::kHandshaking;
}

std::string ReadLine(TlsSession& s, Socket& sock) {
  std::string got;
  for (int round = 0; round < 50; ++round) {
    uint8_t buf[512];
    std::size_t n;
    while ((n = s.ReadPlain(buf, sizeof buf)) > 0) got.append(reinterpret_cast<char*>(buf), n);
    if (!got.empty() && got.back() == '\n') break;
    if (s.Advance() != State::kOpen || !sock.Receive(s)) break;
  }
  return got;
}

bool HexPin(const std::string& hex, std::array<uint8_t, 32>* pin) {
  if (hex.size() != 64) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    (*pin)[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return true;
}

class SChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    dir_ = Env("KELVO_TLS_DIR");
    if (dir_.empty()) GTEST_SKIP() << "SKIPPED: run through schannel_wine.sh";
    std::string error;
    ASSERT_TRUE(Nimbo2::LoadCaFile((dir_ + "/ca.pem").c_str(), &caPem_, &error)) << error;
    ASSERT_TRUE(HexPin(Env("KELVO_TLS_SELF_PIN"), &selfPin_));
  }
  void TearDown() override { WSACleanup(); }

  TlsConfig Config(const std::string& name, TlsTrust trust) const {
    TlsConfig c;
    c.serverName = name;
    c.trust = trust;
    if (trust == TlsTrust::kCaFile) c.caPem = caPem_;
    if (trust == TlsTrust::kPin) c.pin = selfPin_;
    return c;
  }
  static uint16_t Port(const char* which) {
    return static_cast<uint16_t>(std::atoi(Env(which).c_str()));
  }

  std::string dir_, caPem_;
  std::array<uint8_t, 32> selfPin_{};
};

TEST_F(SChannel, VerifiesWithACaFileAndCarriesALine) {
  std::string error;
  auto s = TlsSession::Create(Config("im.kelvo.test", TlsTrust::kCaFile), &error);
  ASSERT_NE(s, nullptr) << error;
  Socket sock(Port("KELVO_TLS_GOOD_PORT"));
  ASSERT_TRUE(sock.ok());
  ASSERT_EQ(Handshake(*s, sock), State::kOpen) << s->FailureText();
  // The server sends each line back reversed.
  const std::string line = "ping 0123456789\n";
  ASSERT_TRUE(s->WritePlain(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
  Flush(*s, sock);
  EXPECT_EQ(ReadLine(*s, sock), "9876543210 gnip\n");
  s->Shutdown();
  Flush(*s, sock);
}

TEST_F(SChannel, NamesEachRefusal) {
  struct Row {
    const char* name;
    const char* port;
    TlsConfig config;
    std::string failure;  // empty: the handshake succeeds
  } rows[] = {
      {"pinned self-signed key", "KELVO_TLS_SELF_PORT", Config("im.kelvo.test", TlsTrust::kPin),
       ""},
      {"named by IP address", "KELVO_TLS_GOOD_PORT", Config("127.0.0.1", TlsTrust::kCaFile), ""},
      {"IP address not in the certificate", "KELVO_TLS_GOOD_PORT",
       Config("127.0.0.2", TlsTrust::kCaFile), "certificate verify failed: IP address mismatch"},
      {"wrong name", "KELVO_TLS_GOOD_PORT", Config("other.kelvo.test", TlsTrust::kCaFile),
       "certificate verify failed: hostname mismatch"},
      {"expired", "KELVO_TLS_EXPIRED_PORT", Config("im.kelvo.test", TlsTrust::kCaFile),
       "certificate verify failed: certificate has expired"},
      {"self-signed, not trusted", "KELVO_TLS_SELF_PORT", Config("im.kelvo.test", TlsTrust::kCaFile),
       "certificate verify failed: self-signed certificate"},
      {"pin mismatch", "KELVO_TLS_GOOD_PORT", Config("im.kelvo.test", TlsTrust::kPin),
       "certificate verify failed: public key pin mismatch"},
      {"private CA, system store", "KELVO_TLS_GOOD_PORT",
       Config("im.kelvo.test", TlsTrust::kSystemStore),
       "certificate verify failed: unable to get local issuer certificate"},
      // SChannel's reason, whatever it is, after the prefix; never a hang.
      {"server speaks clear text", "KELVO_TLS_CLEAR_PORT",
       Config("im.kelvo.test", TlsTrust::kCaFile), "TLS handshake failed: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string error;
    auto s = TlsSession::Create(row.config, &error);
    ASSERT_NE(s, nullptr) << error;
    Socket sock(Port(row.port));
    ASSERT_TRUE(sock.ok());
    const State st = Handshake(*s, sock);
    if (row.failure.empty()) {
      EXPECT_EQ(st, State::kOpen) << s->FailureText();
    } else {
      EXPECT_EQ(st, State::kFailed);
      if (row.failure.back() == ' ') {
        EXPECT_EQ(s->FailureText().compare(0, row.failure.size(), row.failure), 0)
            << s->FailureText();
        std::printf("%s: %s\n", row.name, s->FailureText().c_str());
      } else {
        EXPECT_EQ(s->FailureText(), row.failure);
      }
      EXPECT_FALSE(s->WritePlain(reinterpret_cast<const uint8_t*>("x"), 1));
    }
  }
}

}  // namespace
}  // namespace test
}  // namespace kelvo
