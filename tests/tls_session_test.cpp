// The client TLS session on its own: driven over a socket pair by a small
// blocking loop, against an OpenSSL server on a thread of the test, with
// certificates made for each run. Then the set-up checks that refuse bad
// input before any connection exists.
#include "tls_session.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "nimbo2/link_security.h"
#include "nimbo2/tcp_client_socks5.h"
#include "support/loopback_server.h"
#include "support/tls_fixtures.h"

namespace kelvo {
namespace test {
namespace {

using Nimbo2::LinkSecurity;
using Nimbo2::TlsConfig;
using Nimbo2::TlsSession;
using Nimbo2::TlsTrust;
using State = TlsSession::State;

// The test's server writes to sockets the client may have closed.
const bool kSigpipeIgnored = [] {
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}();

// A connected pair of stream sockets, closed when this goes.
struct SocketPair {
  int client = -1, server = -1;
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      client = fds[0];
      server = fds[1];
    }
  }
  ~SocketPair() {
    if (client >= 0) close(client);
    if (server >= 0) close(server);
  }
  void CloseClient() {
    if (client >= 0) close(client);
    client = -1;
  }
};

State Handshake(TlsSession& s, int fd) {
  const State st = DriveHandshake(s, fd);
  EXPECT_NE(st, State::kHandshaking) << "the handshake did not finish";
  return st;
}
std::string ReadPlain(TlsSession& s, int fd, std::size_t n) { return ReadTls(s, fd, n); }

// What the test's server does once its handshake is done.
enum class Serve {
  kGreetAndEcho,  // writes "hello", then echoes until close_notify, answers it
  kGreetAndCut,   // writes "hello", then closes the socket without close_notify
  kClearText,     // no TLS: writes a clear-text message of the protocol, then closes
  kHangUp,        // no TLS: reads the ClientHello, then closes
  // For the engine: a framed message instead of "hello", then...
  kFrameAndCut,          // ...the socket closed without close_notify
  kFrameAndRenegotiate,  // ...(TLS 1.2) a HelloRequest, then reads until the end
};

// An OpenSSL server for one connection, on its own thread.
class TestServer {
 public:
  TestServer(int fd, const std::string& chainPem, const std::string& keyPem, Serve serve)
      : fd_(fd), chain_(chainPem), key_(keyPem), serve_(serve) {
    thread_ = std::thread([this] { Run(); });
  }
  ~TestServer() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  // After Join.
  bool handshakeDone() const { return handshakeDone_; }
  const std::string& sni() const { return sni_; }
  const std::string& clientRandomHex() const { return clientRandom_; }
  const std::string& echoed() const { return echoed_; }
  bool renegotiationAsked() const { return renegotiationAsked_; }

 private:
  void Run() {
    if (serve_ == Serve::kClearText) {
      const uint8_t message[] = {8, 0x2C, 9, 0, 1, 2, 3, 4};  // a 8-byte frame
      send(fd_, message, sizeof message, MSG_NOSIGNAL);
      shutdown(fd_, SHUT_WR);
      return;
    }
    if (serve_ == Serve::kHangUp) {
      uint8_t buf[512];
      recv(fd_, buf, sizeof buf, 0);
      shutdown(fd_, SHUT_RDWR);
      return;
    }
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    BIO* chain = BIO_new_mem_buf(chain_.data(), static_cast<int>(chain_.size()));
    BIO* key = BIO_new_mem_buf(key_.data(), static_cast<int>(key_.size()));
    X509* leaf = PEM_read_bio_X509(chain, nullptr, nullptr, nullptr);
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(key, nullptr, nullptr, nullptr);
    SSL_CTX_use_certificate(ctx, leaf);
    SSL_CTX_use_PrivateKey(ctx, pkey);
    while (X509* extra = PEM_read_bio_X509(chain, nullptr, nullptr, nullptr)) {
      SSL_CTX_add0_chain_cert(ctx, extra);
    }
    ERR_clear_error();
    X509_free(leaf);
    EVP_PKEY_free(pkey);
    BIO_free(chain);
    BIO_free(key);
    // Renegotiation exists up to TLS 1.2 only.
    if (serve_ == Serve::kFrameAndRenegotiate) SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd_);
    const bool accepted = SSL_accept(ssl) == 1;
    // Known once the ClientHello is read, whether the handshake ends well or not.
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    sni_ = name != nullptr ? name : "";
    if (accepted) {
      handshakeDone_ = true;
      uint8_t random[32];
      const std::size_t n = SSL_get_client_random(ssl, random, sizeof random);
      static const char* const kHex = "0123456789abcdef";
      for (std::size_t i = 0; i < n; ++i) {
        clientRandom_ += kHex[random[i] >> 4];
        clientRandom_ += kHex[random[i] & 15];
      }
      char buf[16384];
      int r = 0;
      if (serve_ == Serve::kFrameAndCut || serve_ == Serve::kFrameAndRenegotiate) {
        const uint8_t frame[] = {8, 0, 0x2C, 9, 1, 2, 3, 4};
        SSL_write(ssl, frame, sizeof frame);
        if (serve_ == Serve::kFrameAndRenegotiate) {
          renegotiationAsked_ = SSL_renegotiate(ssl) == 1 && SSL_do_handshake(ssl) == 1;
          while ((r = SSL_read(ssl, buf, sizeof buf)) > 0) {
          }
        }
      } else {
        SSL_write(ssl, "hello", 5);
      }
      while (serve_ == Serve::kGreetAndEcho && (r = SSL_read(ssl, buf, sizeof buf)) > 0) {
        echoed_.append(buf, static_cast<std::size_t>(r));
        SSL_write(ssl, buf, r);
      }
      if (serve_ == Serve::kGreetAndEcho && SSL_get_error(ssl, r) == SSL_ERROR_ZERO_RETURN) {
        SSL_shutdown(ssl);
      }
    }
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    shutdown(fd_, SHUT_RDWR);
  }

  int fd_;
  std::string chain_, key_;
  Serve serve_;
  std::thread thread_;
  bool handshakeDone_ = false;
  bool renegotiationAsked_ = false;
  std::string sni_, clientRandom_, echoed_;
};

// Certificates shared by every test of this file: a CA and the server
// certificates it signed, plus a self-signed one.
class Pki {
 public:
  static const Pki& Get() {
    static const Pki pki;
    return pki;
  }
  TestCert ca, good, expired, wrongName, selfSigned, otherKey;

 private:
  Pki() {
    ca = MakeCert({"Kelvo Test CA", {}, {}, -1, 30, true}, nullptr);
    good = MakeCert({"im.kelvo.test", {"im.kelvo.test"}, {"127.0.0.1"}, -1, 30, false}, &ca);
    expired = MakeCert({"im.kelvo.test", {"im.kelvo.test"}, {}, -30, -1, false}, &ca);
    wrongName = MakeCert({"other.kelvo.test", {"other.kelvo.test"}, {}, -1, 30, false}, &ca);
    selfSigned = MakeCert({"im.kelvo.test", {"im.kelvo.test"}, {}, -1, 30, false}, nullptr);
    otherKey = MakeCert({"im.kelvo.test", {"im.kelvo.test"}, {}, -1, 30, false}, nullptr);
  }
};

TlsConfig Config(const std::string& name, TlsTrust trust, const TestCert* pinned = nullptr) {
  TlsConfig c;
  c.serverName = name;
  c.trust = trust;
  if (trust == TlsTrust::kCaFile) c.caPem = Pki::Get().ca.certPem;
  if (pinned != nullptr) c.pin = pinned->pin;
  return c;
}

struct Outcome {
  State state = State::kHandshaking;
  std::string failure;
};

// Runs the handshake on a thread of its own and reads the failure text on
// this one: the text must not live in OpenSSL's per-thread error queue.
Outcome HandshakeOnAnotherThread(TlsSession& s, int fd) {
  Outcome o;
  std::thread([&] { o.state = Handshake(s, fd); }).join();
  o.failure = s.FailureText();
  return o;
}

TEST(TlsSession, VerifiesTheServerAndNamesEachRefusal) {
  const Pki& pki = Pki::Get();
  ASSERT_TRUE(pki.ca.ok() && pki.good.ok() && pki.expired.ok() && pki.wrongName.ok() &&
              pki.selfSigned.ok() && pki.otherKey.ok());
  const std::string kName = "im.kelvo.test";
  struct Row {
    const char* name;
    const TestCert& served;
    TlsConfig config;
    Serve serve;
    std::string failure;  // empty: the handshake succeeds
    std::string sni;      // what the server must have been sent
  } rows[] = {
      {"valid, trusted through the CA file", pki.good, Config(kName, TlsTrust::kCaFile),
       Serve::kGreetAndEcho, "", kName},
      {"valid, named by IP address (no SNI)", pki.good, Config("127.0.0.1", TlsTrust::kCaFile),
       Serve::kGreetAndEcho, "", ""},
      {"pinned self-signed key", pki.selfSigned, Config(kName, TlsTrust::kPin, &pki.selfSigned),
       Serve::kGreetAndEcho, "", kName},
      {"expired", pki.expired, Config(kName, TlsTrust::kCaFile), Serve::kGreetAndEcho,
       "certificate verify failed: certificate has expired", kName},
      {"wrong name", pki.wrongName, Config(kName, TlsTrust::kCaFile), Serve::kGreetAndEcho,
       "certificate verify failed: hostname mismatch", kName},
      {"IP address not in the certificate", pki.good, Config("127.0.0.2", TlsTrust::kCaFile),
       Serve::kGreetAndEcho, "certificate verify failed: IP address mismatch", ""},
      {"self-signed, not trusted", pki.selfSigned, Config(kName, TlsTrust::kCaFile),
       Serve::kGreetAndEcho, "certificate verify failed: self-signed certificate", kName},
      {"private CA, system store", pki.good, Config(kName, TlsTrust::kSystemStore),
       Serve::kGreetAndEcho, "certificate verify failed: unable to get local issuer certificate",
       kName},
      {"pin mismatch", pki.otherKey, Config(kName, TlsTrust::kPin, &pki.selfSigned),
       Serve::kGreetAndEcho, "certificate verify failed: public key pin mismatch", kName},
      {"pin matches, name does not", pki.wrongName, Config(kName, TlsTrust::kPin, &pki.wrongName),
       Serve::kGreetAndEcho, "certificate verify failed: hostname mismatch", kName},
      {"pin matches, expired", pki.expired, Config(kName, TlsTrust::kPin, &pki.expired),
       Serve::kGreetAndEcho, "certificate verify failed: certificate has expired", kName},
      {"server speaks clear text", pki.good, Config(kName, TlsTrust::kCaFile), Serve::kClearText,
       "TLS handshake failed: wrong version number", ""},
      {"server hangs up", pki.good, Config(kName, TlsTrust::kCaFile), Serve::kHangUp,
       "TLS handshake failed: the server closed the connection", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string error;
    std::unique_ptr<TlsSession> s = TlsSession::Create(row.config, &error);
    ASSERT_NE(s, nullptr) << error;
    SocketPair pair;
    ASSERT_GE(pair.client, 0);
    TestServer server(pair.server, row.served.certPem, row.served.keyPem, row.serve);
    const Outcome o = HandshakeOnAnotherThread(*s, pair.client);
    if (row.failure.empty()) {
      ASSERT_EQ(o.state, State::kOpen) << o.failure;
      EXPECT_EQ(ReadPlain(*s, pair.client, 5), "hello");
      s->Shutdown();
      std::vector<uint8_t> out;
      s->TakeCipher(&out);
      SendAll(pair.client, out);
      server.Join();
      EXPECT_TRUE(server.handshakeDone());
    } else {
      EXPECT_EQ(o.state, State::kFailed);
      EXPECT_EQ(o.failure, row.failure);
      EXPECT_FALSE(s->WritePlain(reinterpret_cast<const uint8_t*>("x"), 1))
          << "nothing may leave a failed session";
      pair.CloseClient();
      server.Join();
      EXPECT_FALSE(server.handshakeDone());
    }
    if (row.serve == Serve::kGreetAndEcho) {
      EXPECT_EQ(server.sni(), row.sni);
    }
  }
}

TEST(TlsSession, CarriesThePlainStreamBothWaysAndEndsWithCloseNotify) {
  const Pki& pki = Pki::Get();
  std::string error;
  auto s = TlsSession::Create(Config("im.kelvo.test", TlsTrust::kCaFile), &error);
  ASSERT_NE(s, nullptr) << error;
  SocketPair pair;
  TestServer server(pair.server, pki.good.certPem, pki.good.keyPem, Serve::kGreetAndEcho);
  EXPECT_FALSE(s->WritePlain(reinterpret_cast<const uint8_t*>("early"), 5))
      << "nothing of the plain stream goes out before the handshake";
  ASSERT_EQ(Handshake(*s, pair.client), State::kOpen) << s->FailureText();

  // Several records' worth, in uneven writes.
  std::string sent;
  for (int i = 0; sent.size() < 40000; ++i) sent += std::to_string(i) + ",";
  std::string echoed = ReadPlain(*s, pair.client, 5);
  ASSERT_EQ(echoed, "hello");
  for (std::size_t at = 0; at < sent.size(); at += 7919) {
    const std::size_t n = std::min<std::size_t>(7919, sent.size() - at);
    ASSERT_TRUE(s->WritePlain(reinterpret_cast<const uint8_t*>(sent.data() + at), n));
  }
  EXPECT_EQ(ReadPlain(*s, pair.client, sent.size()), sent);

  // close_notify out, the server's close_notify back: a clean end.
  s->Shutdown();
  std::vector<uint8_t> out;
  s->TakeCipher(&out);
  ASSERT_TRUE(SendAll(pair.client, out));
  server.Join();
  EXPECT_EQ(server.echoed(), sent);
  EXPECT_EQ(s->Advance(), State::kClosed);
}

TEST(TlsSession, EndOfStreamWithoutCloseNotifyIsAFailure) {
  // A cut connection must not pass for the end of the stream.
  const Pki& pki = Pki::Get();
  std::string error;
  auto s = TlsSession::Create(Config("im.kelvo.test", TlsTrust::kCaFile), &error);
  ASSERT_NE(s, nullptr) << error;
  SocketPair pair;
  TestServer server(pair.server, pki.good.certPem, pki.good.keyPem, Serve::kGreetAndCut);
  ASSERT_EQ(Handshake(*s, pair.client), State::kOpen) << s->FailureText();
  server.Join();
  EXPECT_EQ(ReadPlain(*s, pair.client, 6), "hello");
  EXPECT_EQ(s->Advance(), State::kFailed);
  EXPECT_EQ(s->FailureText(), "TLS connection failed: unexpected eof while reading");
}

TEST(TlsSession, KeyLogHoldsTheSessionsSecrets) {
  const Pki& pki = Pki::Get();
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string log = dir.path() + "/keys.log";
  ASSERT_EQ(setenv(TlsSession::kKeyLogVariable, log.c_str(), 1), 0);
  std::string error;
  auto s = TlsSession::Create(Config("im.kelvo.test", TlsTrust::kCaFile), &error);
  unsetenv(TlsSession::kKeyLogVariable);
  ASSERT_NE(s, nullptr) << error;
  SocketPair pair;
  TestServer server(pair.server, pki.good.certPem, pki.good.keyPem, Serve::kGreetAndEcho);
  ASSERT_EQ(Handshake(*s, pair.client), State::kOpen) << s->FailureText();
  pair.CloseClient();
  server.Join();

  // NSS key log lines: LABEL <client random, hex> <secret, hex>. TLS 1.3
  // has both handshake and both application traffic secrets.
  std::ifstream in(log);
  std::string line;
  std::set<std::string> labels;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string label, random, secret;
    words >> label >> random >> secret;
    EXPECT_EQ(random, server.clientRandomHex()) << line;
    EXPECT_GE(secret.size(), 64u) << line;
    labels.insert(label);
  }
  EXPECT_EQ(labels, (std::set<std::string>{"CLIENT_HANDSHAKE_TRAFFIC_SECRET",
                                           "SERVER_HANDSHAKE_TRAFFIC_SECRET",
                                           "CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0",
                                           "EXPORTER_SECRET"}));
  struct stat st {};
  ASSERT_EQ(stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "secrets: readable by their owner only";
}

TEST(TlsSession, CreateRefusesWhatCannotBeVerified) {
  std::string error;
  EXPECT_EQ(TlsSession::Create(Config("", TlsTrust::kSystemStore), &error), nullptr);
  EXPECT_EQ(error, "TLS set-up failed: bad server name");
  TlsConfig garbage = Config("im.kelvo.test", TlsTrust::kCaFile);
  garbage.caPem = "no certificates here";
  EXPECT_EQ(TlsSession::Create(garbage, &error), nullptr);
  EXPECT_EQ(error, "TLS set-up failed: no certificate in the CA file");
}

// ---------------------------------------------------------------------------
// The engine over a loopback socket: how the end of a TLS connection is told.

TEST(TlsSession, TheEngineTellsACutStreamAndARenegotiationEachInOneLine) {
  struct Row {
    const char* name;
    Serve serve;
    const char* detail;
  };
  const Row rows[] = {
      // A truncation must never look like an orderly end.
      {"cut without close_notify", Serve::kFrameAndCut,
       "TLS connection failed: unexpected eof while reading"},
      // Refused at once, without waiting for the host's next request.
      {"renegotiation", Serve::kFrameAndRenegotiate,
       "TLS connection failed: the server asked to renegotiate"},
  };
  const Pki& pki = Pki::Get();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LoopbackServer listener;
    NotingWorker worker;
    Nimbo2::TCPClient_Socks5 client(&worker);
    client.SetLinkNoteWorker(&worker);
    LinkSecurity security;
    security.tls = true;
    security.tlsConfig = Config("im.kelvo.test", TlsTrust::kCaFile);
    client.SetLinkSecurity(security);
    ASSERT_TRUE(client.Connect(listener.Address()));
    ASSERT_TRUE(listener.Accept());
    // Bounded, should the client never end the connection.
    const timeval limit{10, 0};
    setsockopt(listener.connection(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    TestServer server(listener.connection(), pki.good.certPem, pki.good.keyPem, row.serve);
    ASSERT_TRUE(worker.WaitStates(2, std::chrono::seconds(5))) << "the end was never told";
    EXPECT_EQ(worker.States(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(worker.MessageCount(), 1u) << "the message before the end";
    const std::vector<Nimbo2::LinkNote> notes = worker.Notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].reason, Nimbo2::LinkReason::kTls);
    EXPECT_STREQ(notes[0].detail, row.detail);
    server.Join();
    EXPECT_EQ(server.renegotiationAsked(), row.serve == Serve::kFrameAndRenegotiate);
  }
}

}  // namespace
}  // namespace test
}  // namespace kelvo
