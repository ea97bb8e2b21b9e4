// TlsSession on OpenSSL, over two memory BIOs.
//
// Every call starts and ends with an empty OpenSSL error queue: the queue
// belongs to the calling thread, and a session may be driven from more than
// one thread, so a failure is turned into text at once and kept here.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "tls_session.h"

namespace Nimbo2 {

namespace {

constexpr char kVerifyFailed[] = "certificate verify failed: ";
constexpr char kHandshakeFailed[] = "TLS handshake failed: ";
constexpr char kConnectionFailed[] = "TLS connection failed: ";
constexpr char kPinMismatch[] = "public key pin mismatch";

// The reason of the oldest error OpenSSL queued, e.g. "wrong version
// number"; empties the queue.
std::string TakeOpenSslReason(const char* fallback) {
  const unsigned long code = ERR_get_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  std::string text = reason != nullptr ? reason : fallback;
  ERR_clear_error();
  return text;
}

// Every certificate block of `pem` as X509 objects; false when a block does
// not parse or there is none. PEM_X509_INFO_read_bio skips text between
// blocks, as every PEM reader does.
bool ReadCertificates(const std::string& pem, STACK_OF(X509_INFO) * *out, std::string* error) {
  if (pem.size() > INT_MAX) {
    *error = "CA file too large";
    return false;
  }
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) {
    *error = "out of memory";
    return false;
  }
  ERR_clear_error();
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (infos == nullptr) {
    *error = "not a PEM certificate file: " + TakeOpenSslReason("unreadable");
    return false;
  }
  ERR_clear_error();
  int certificates = 0;
  for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
    if (sk_X509_INFO_value(infos, i)->x509 != nullptr) ++certificates;
  }
  if (certificates == 0) {
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    *error = "no certificate in the CA file";
    return false;
  }
  *out = infos;
  return true;
}

// The SHA-256 of the certificate's DER-encoded SubjectPublicKeyInfo.
bool PublicKeyHash(X509* cert, uint8_t hash[kTlsPinSize]) {
  unsigned char* der = nullptr;
  const int n = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
  if (n <= 0) return false;
  SHA256(der, static_cast<std::size_t>(n), hash);
  OPENSSL_free(der);
  return true;
}

class OpenSslSession final : public TlsSession {
 public:
  explicit OpenSslSession(const TlsConfig& config) : config_(config) {}
  ~OpenSslSession() override {
    SSL_free(ssl_);  // frees both BIOs
    SSL_CTX_free(ctx_);
  }

  bool Init(std::string* error);

  void FeedCipher(const uint8_t* data, std::size_t n) override {
    while (n > 0) {
      const int chunk = n > INT_MAX ? INT_MAX : static_cast<int>(n);
      if (BIO_write(in_, data, chunk) != chunk) {
        ERR_clear_error();
        Fail(kConnectionFailed, "out of memory");
        return;
      }
      data += chunk;
      n -= static_cast<std::size_t>(chunk);
    }
  }

  void FeedCipherEnd() override { BIO_set_mem_eof_return(in_, 0); }

  void TakeCipher(std::vector<uint8_t>* out) override {
    char* data = nullptr;
    const long n = BIO_get_mem_data(out_, &data);
    if (n <= 0) return;
    out->insert(out->end(), data, data + n);
    (void)BIO_reset(out_);
  }

  State Advance() override {
    if (state_ != State::kHandshaking) return state_;
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    if (r == 1) {
      state_ = State::kOpen;
      return state_;
    }
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      return state_;
    }
    HandshakeFailed(e);
    return state_;
  }

  std::size_t ReadPlain(uint8_t* buf, std::size_t cap) override {
    if (state_ != State::kOpen || cap == 0) return 0;
    ERR_clear_error();
    const int r = SSL_read(ssl_, buf, cap > INT_MAX ? INT_MAX : static_cast<int>(cap));
    if (renegotiationAsked_ && r <= 0) {
      // Refused, as SChannel refuses it: once what came with the request was
      // taken out, the session fails with one line (OpenSSL has queued its
      // no_renegotiation alert for the server).
      Fail(kConnectionFailed, "the server asked to renegotiate");
      ERR_clear_error();
      return 0;
    }
    if (r > 0) {
      FlushPending();
      return static_cast<std::size_t>(r);
    }
    switch (SSL_get_error(ssl_, r)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        FlushPending();
        break;
      case SSL_ERROR_ZERO_RETURN:  // close_notify
        state_ = State::kClosed;
        break;
      case SSL_ERROR_SYSCALL:
        // Memory BIOs make no system calls: this is the end of the input
        // without close_notify where OpenSSL does not report that itself.
        Fail(kConnectionFailed, TakeOpenSslReason("unexpected eof while reading"));
        break;
      default:
        Fail(kConnectionFailed, TakeOpenSslReason("protocol error"));
        break;
    }
    ERR_clear_error();
    return 0;
  }

  bool WritePlain(const uint8_t* data, std::size_t n) override {
    if (state_ != State::kOpen) return false;
    // Behind bytes that wait for the session, in order.
    if (!pending_.empty()) {
      pending_.insert(pending_.end(), data, data + n);
      return true;
    }
    const std::size_t done = Write(data, n);
    if (state_ != State::kOpen) return false;
    pending_.assign(data + done, data + n);
    return true;
  }

  void Shutdown() override {
    if (state_ == State::kOpen) {
      FlushPending();  // what was accepted goes before close_notify, if it can
      ERR_clear_error();
      SSL_shutdown(ssl_);
      ERR_clear_error();
    }
    if (state_ != State::kFailed) state_ = State::kClosed;
  }

  const std::string& FailureText() const override { return failure_; }

 private:
  static int VerifyPin(X509_STORE_CTX* store, void* arg);
  static void KeyLog(const SSL* ssl, const char* line);

  // Encrypts what it can of `data` into the output BIO; returns how much.
  // The output BIO grows as needed, so a write stops short only when the
  // session must first read (a handshake message from the server is under
  // way); the caller keeps the rest for FlushPending.
  std::size_t Write(const uint8_t* data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
      const std::size_t left = n - done;
      const int chunk = left > INT_MAX ? INT_MAX : static_cast<int>(left);
      ERR_clear_error();
      const int r = SSL_write(ssl_, data + done, chunk);
      if (r > 0) {
        done += static_cast<std::size_t>(r);
        continue;
      }
      const int e = SSL_get_error(ssl_, r);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
        Fail(kConnectionFailed, TakeOpenSslReason("write failed"));
      }
      ERR_clear_error();
      break;
    }
    return done;
  }

  // After a read: what WritePlain could not encrypt yet.
  void FlushPending() {
    if (pending_.empty() || state_ != State::kOpen) return;
    const std::size_t done = Write(pending_.data(), pending_.size());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
  }

  // The server's HelloRequest, seen as OpenSSL reads it.
  static void OnMessage(int writing, int, int contentType, const void* buf, std::size_t len,
                        SSL* ssl, void*) {
    if (writing || contentType != SSL3_RT_HANDSHAKE || len == 0) return;
    auto* self = static_cast<OpenSslSession*>(SSL_get_app_data(ssl));
    if (self != nullptr && self->state_ == State::kOpen &&
        static_cast<const uint8_t*>(buf)[0] == SSL3_MT_HELLO_REQUEST) {
      self->renegotiationAsked_ = true;
    }
  }

  void Fail(const char* prefix, const std::string& why) {
    if (state_ == State::kFailed) return;
    state_ = State::kFailed;
    failure_ = prefix + why;
  }

  void HandshakeFailed(int sslError) {
    const long verify = SSL_get_verify_result(ssl_);
    if (pinMismatch_) {
      Fail(kVerifyFailed, kPinMismatch);
    } else if (verify != X509_V_OK) {
      Fail(kVerifyFailed, X509_verify_cert_error_string(verify));
    } else if (sslError == SSL_ERROR_SSL &&
               ERR_GET_REASON(ERR_peek_error()) != SSL_R_UNEXPECTED_EOF_WHILE_READING) {
      Fail(kHandshakeFailed, TakeOpenSslReason("protocol error"));
    } else {
      // The input ended: typically a server that does not speak TLS and
      // hung up on the ClientHello.
      Fail(kHandshakeFailed, "the server closed the connection");
    }
    ERR_clear_error();
  }

  const TlsConfig config_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;   // owned by ssl_
  BIO* out_ = nullptr;  // owned by ssl_
  State state_ = State::kHandshaking;
  std::string failure_;
  std::string keyLogPath_;
  bool pinMismatch_ = false;
  bool renegotiationAsked_ = false;
  std::vector<uint8_t> pending_;  // accepted plain bytes the session could not take yet
};

// With a pinned key no certificate authority is asked: the server's key is
// the trust. The certificate must still be within its dates and name the
// server, as with any other trust.
int OpenSslSession::VerifyPin(X509_STORE_CTX* store, void* arg) {
  auto* self = static_cast<OpenSslSession*>(arg);
  X509* leaf = X509_STORE_CTX_get0_cert(store);
  int error = X509_V_OK;
  uint8_t hash[kTlsPinSize];
  if (leaf == nullptr || !PublicKeyHash(leaf, hash)) {
    error = X509_V_ERR_UNSPECIFIED;
  } else if (CRYPTO_memcmp(hash, self->config_.pin.data(), kTlsPinSize) != 0) {
    self->pinMismatch_ = true;
    error = X509_V_ERR_APPLICATION_VERIFICATION;
  } else if (X509_cmp_current_time(X509_get0_notBefore(leaf)) >= 0) {
    error = X509_V_ERR_CERT_NOT_YET_VALID;
  } else if (X509_cmp_current_time(X509_get0_notAfter(leaf)) <= 0) {
    error = X509_V_ERR_CERT_HAS_EXPIRED;
  } else if (IsIpv4Literal(self->config_.serverName)) {
    if (X509_check_ip_asc(leaf, self->config_.serverName.c_str(), 0) != 1)
      error = X509_V_ERR_IP_ADDRESS_MISMATCH;
  } else if (X509_check_host(leaf, self->config_.serverName.data(), self->config_.serverName.size(),
                             X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) != 1) {
    error = X509_V_ERR_HOSTNAME_MISMATCH;
  }
  X509_STORE_CTX_set_error_depth(store, 0);
  X509_STORE_CTX_set_current_cert(store, leaf);
  X509_STORE_CTX_set_error(store, error);
  return error == X509_V_OK ? 1 : 0;
}

// One line per secret, appended with a single write so that sessions on
// other threads (or processes) logging to the same file do not interleave.
void OpenSslSession::KeyLog(const SSL* ssl, const char* line) {
  auto* self = static_cast<OpenSslSession*>(SSL_get_app_data(ssl));
  if (self == nullptr || self->keyLogPath_.empty()) return;
  const int fd = open(self->keyLogPath_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::string text = line;
  text += '\n';
  const ssize_t written = write(fd, text.data(), text.size());
  (void)written;  // a debugging aid: a failed write costs the session nothing
  close(fd);
}

bool OpenSslSession::Init(std::string* error) {
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr) {
    *error = "TLS set-up failed: " + TakeOpenSslReason("out of memory");
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  // A server's request to renegotiate (TLS 1.2) is refused: SChannel does
  // not carry one through either, and the protocol never needs it.
  SSL_CTX_set_options(ctx_, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_msg_callback(ctx_, OnMessage);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  switch (config_.trust) {
    case TlsTrust::kSystemStore:
      if (SSL_CTX_set_default_verify_paths(ctx_) != 1) {
        *error = "TLS set-up failed: " + TakeOpenSslReason("no system certificate store");
        return false;
      }
      break;
    case TlsTrust::kCaFile: {
      STACK_OF(X509_INFO)* infos = nullptr;
      std::string why;
      if (!ReadCertificates(config_.caPem, &infos, &why)) {
        *error = "TLS set-up failed: " + why;
        return false;
      }
      X509_STORE* store = SSL_CTX_get_cert_store(ctx_);
      for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
        X509* cert = sk_X509_INFO_value(infos, i)->x509;
        if (cert != nullptr) X509_STORE_add_cert(store, cert);  // a duplicate is harmless
      }
      sk_X509_INFO_pop_free(infos, X509_INFO_free);
      ERR_clear_error();
      break;
    }
    case TlsTrust::kPin:
      SSL_CTX_set_cert_verify_callback(ctx_, VerifyPin, this);
      break;
  }
  if (const char* path = std::getenv(kKeyLogVariable); path != nullptr && *path != '\0') {
    keyLogPath_ = path;
    SSL_CTX_set_keylog_callback(ctx_, KeyLog);
  }

  ssl_ = SSL_new(ctx_);
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  if (ssl_ == nullptr || in_ == nullptr || out_ == nullptr) {
    BIO_free(in_);
    BIO_free(out_);
    in_ = out_ = nullptr;
    *error = "TLS set-up failed: out of memory";
    ERR_clear_error();
    return false;
  }
  // An empty input BIO means "more to come" until FeedCipherEnd.
  BIO_set_mem_eof_return(in_, -1);
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_app_data(ssl_, this);
  SSL_set_connect_state(ssl_);

  const std::string& name = config_.serverName;
  bool named = false;
  if (IsIpv4Literal(name)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), name.c_str()) == 1;
  } else {
    SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = SSL_set_tlsext_host_name(ssl_, name.c_str()) == 1 && SSL_set1_host(ssl_, name.c_str()) == 1;
  }
  if (!named) {
    *error = "TLS set-up failed: bad server name";
    ERR_clear_error();
    return false;
  }
  ERR_clear_error();
  return true;
}

}  // namespace

std::unique_ptr<TlsSession> TlsSession::Create(const TlsConfig& config, std::string* error) {
  return CreateSession<OpenSslSession>(config, error);
}

bool TlsSession::CheckCaPem(const std::string& pem, std::string* error) {
  STACK_OF(X509_INFO)* infos = nullptr;
  if (!ReadCertificates(pem, &infos, error)) return false;
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  return true;
}

}  // namespace Nimbo2
