// The OpenSSL TlsSession reading what an in-process OpenSSL server sends
// over memory buffers, TLS 1.2 or 1.3, its certificate trusted by pin or by
// CA file (verification always on). The input chooses the cipher suite,
// how the server cuts its plain stream into records, how the ciphertext is
// cut into FeedCipher calls and how large each ReadPlain buffer is, and may
// flip one byte of the ciphertext, end the stream early or withhold the
// server's close_notify. The session is driven as the engine drives it
// (feed, Advance, send what it has, read the plain stream dry) and checked:
// the plain stream is always a prefix of what the server wrote, and all of
// it when nothing was flipped or cut; a flipped or cut stream ends in
// kFailed with a failure text, never kClosed; a clean close_notify gives
// kClosed and a clean end without one kFailed; a failed or closed session
// stays so and hands out nothing more; the failure text is there exactly
// when failed and names the handshake or the open connection as the case
// was; nothing is sent before kOpen; a certificate for another name or key
// is refused. Buffers are heap copies of exactly their size, so ASan
// catches a read or write past one.
// Input: [flags][flags2][u16 plain length][u24 flip offset][flip mask]
// [u24 cut offset] then three lists [n][n u16]: FeedCipher sizes, ReadPlain
// sizes, server SSL_write sizes (each used round robin, see Sizes).
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "tls_session.h"

namespace {

using Nimbo2::TlsConfig;
using Nimbo2::TlsSession;
using Nimbo2::TlsTrust;
using State = TlsSession::State;

constexpr char kHostName[] = "chat.fuzz.test";
constexpr char kHostAddress[] = "127.0.0.1";

void Check(bool ok) {
  if (!ok) std::abort();
}

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A P-256 certificate valid from yesterday for a year, signed by `issuer`
// (self-signed when null).
X509* MakeCert(EVP_PKEY* key, const char* name, bool ca, X509* issuer, EVP_PKEY* issuerKey) {
  static long serial = 1;
  X509* cert = X509_new();
  Check(cert != nullptr);
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), -86400L);
  X509_gmtime_adj(X509_getm_notAfter(cert), 365 * 86400L);
  X509_set_pubkey(cert, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(signer));
  bool ok = AddExtension(cert, signer, NID_subject_key_identifier, "hash");
  if (ca) {
    ok = ok && AddExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE") &&
         AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && AddExtension(cert, signer, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(cert, signer, NID_authority_key_identifier, "keyid:always") &&
         AddExtension(cert, signer, NID_key_usage, "critical,digitalSignature") &&
         AddExtension(cert, signer, NID_ext_key_usage, "serverAuth") &&
         AddExtension(cert, signer, NID_subject_alt_name, "DNS:chat.fuzz.test,IP:127.0.0.1");
  }
  Check(ok && X509_sign(cert, issuer != nullptr ? issuerKey : key, EVP_sha256()) > 0);
  return cert;
}

// Made once per process: a CA, the server's certificate from it, the
// client's two trusts, and a server context for each protocol version.
struct World {
  std::string caPem;
  std::array<uint8_t, Nimbo2::kTlsPinSize> pin{};
  std::array<uint8_t, Nimbo2::kTlsPinSize> otherPin{};
  SSL_CTX* server[2] = {};  // TLS 1.2, TLS 1.3

  World() {
    EVP_PKEY* caKey = EVP_EC_gen("P-256");
    EVP_PKEY* key = EVP_EC_gen("P-256");
    Check(caKey != nullptr && key != nullptr);
    X509* ca = MakeCert(caKey, "Fuzz CA", true, nullptr, nullptr);
    X509* leaf = MakeCert(key, kHostName, false, ca, caKey);
    BIO* bio = BIO_new(BIO_s_mem());
    Check(bio != nullptr && PEM_write_bio_X509(bio, ca) == 1);
    char* text = nullptr;
    const long n = BIO_get_mem_data(bio, &text);
    caPem.assign(text, static_cast<std::size_t>(n));
    BIO_free(bio);
    unsigned char* der = nullptr;
    int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(leaf), &der);
    Check(length > 0);
    SHA256(der, static_cast<std::size_t>(length), pin.data());
    OPENSSL_free(der);
    der = nullptr;
    length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(ca), &der);
    Check(length > 0);
    SHA256(der, static_cast<std::size_t>(length), otherPin.data());
    OPENSSL_free(der);
    const int versions[2] = {TLS1_2_VERSION, TLS1_3_VERSION};
    for (int i = 0; i < 2; ++i) {
      SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
      Check(ctx != nullptr);
      SSL_CTX_set_min_proto_version(ctx, versions[i]);
      SSL_CTX_set_max_proto_version(ctx, versions[i]);
      Check(SSL_CTX_use_certificate(ctx, leaf) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1);
      server[i] = ctx;
    }
    X509_free(leaf);
    X509_free(ca);
    EVP_PKEY_free(key);
    EVP_PKEY_free(caKey);
  }
};

const World& TheWorld() {
  static const World* world = new World();
  return *world;
}

class Reader {
 public:
  explicit Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  uint32_t Take(int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    return v;
  }
  std::vector<uint16_t> List() {
    const int n = Byte();
    std::vector<uint16_t> list;
    for (int i = 0; i < n && pos_ + 2 <= size_; ++i) list.push_back(static_cast<uint16_t>(Take(2)));
    if (list.empty()) list.push_back(0xFFFF);
    return list;
  }

 private:
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Round robin over an input list, for its first kSmallUses sizes; then the
// largest size. Every feed, read and record costs a round of OpenSSL calls,
// so one-byte pieces all the way through a long stream would make an input
// slow without reaching anything the first thousand pieces do not.
struct Sizes {
  static constexpr std::size_t kSmallUses = 1024;
  std::vector<uint16_t> list;
  std::size_t next = 0;
  std::size_t Take(std::size_t mask) {
    if (next == kSmallUses) return mask + 1;
    return 1 + (list[next++ % list.size()] & mask);
  }
};

// What the server writes: the first bytes of one fixed pseudo-random text.
constexpr std::size_t kMaxPlain = 0x7FFF;
const uint8_t* PlainText() {
  static const std::vector<uint8_t> text = [] {
    std::vector<uint8_t> t(kMaxPlain);
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    return t;
  }();
  return text.data();
}

class Run {
 public:
  Run(const uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const uint32_t flags = in.Take(1);
    const uint32_t flags2 = in.Take(1);
    plain_ = PlainText();
    plainSize_ = in.Take(2) & kMaxPlain;
    flipAt_ = in.Take(3);
    flipMask_ = static_cast<uint8_t>(in.Take(1));
    cutAt_ = in.Take(3);
    feeds_.list = in.List();
    reads_.list = in.List();
    writes_.list = in.List();

    tls13_ = (flags & 1) != 0;
    closeNotify_ = (flags & 8) != 0;
    cut_ = (flags & 0x80) != 0;
    // A certificate for another name, or another key pinned: refused.
    wrongTrust_ = (flags2 & 2) != 0;
    TlsConfig config;
    const bool byAddress = (flags & 4) != 0;
    config.serverName = wrongTrust_ && (flags & 2) != 0 ? "other.fuzz.test"
                        : byAddress                     ? kHostAddress
                                                        : kHostName;
    config.trust = (flags & 2) != 0 ? TlsTrust::kCaFile : TlsTrust::kPin;
    config.caPem = TheWorld().caPem;
    config.pin = wrongTrust_ && (flags & 2) == 0 ? TheWorld().otherPin : TheWorld().pin;
    std::string error;
    client_ = TlsSession::Create(config, &error);
    Check(client_ != nullptr && error.empty());

    server_ = SSL_new(TheWorld().server[tls13_ ? 1 : 0]);
    BIO* in2 = BIO_new(BIO_s_mem());
    BIO* out2 = BIO_new(BIO_s_mem());
    Check(server_ != nullptr && in2 != nullptr && out2 != nullptr);
    SSL_set_bio(server_, in2, out2);
    serverIn_ = in2;
    serverOut_ = out2;
    SSL_set_accept_state(server_);
    static const char* const kTls12[] = {"ECDHE-ECDSA-AES128-GCM-SHA256",
                                         "ECDHE-ECDSA-CHACHA20-POLY1305",
                                         "ECDHE-ECDSA-AES256-SHA384"};
    static const char* const kTls13[] = {"TLS_AES_128_GCM_SHA256", "TLS_CHACHA20_POLY1305_SHA256",
                                         "TLS_AES_256_GCM_SHA384"};
    const uint32_t suite = ((flags >> 4) & 3) % 3;
    Check(tls13_ ? SSL_set_ciphersuites(server_, kTls13[suite]) == 1
                 : SSL_set_cipher_list(server_, kTls12[suite]) == 1);
    if (tls13_) SSL_set_num_tickets(server_, (flags2 & 1) != 0 ? 0 : 2);
  }

  ~Run() { SSL_free(server_); }

  void Go() {
    Check(client_->Advance() == State::kHandshaking);
    client_->TakeCipher(&toServer_);
    if (cut_ && cutAt_ == 0) End(true);
    for (int round = 0; round < 64 && !ended_; ++round) {
      const bool moved = ServerTurn();
      Deliver();
      if (!moved && pending_.empty()) break;
    }
    if (!ended_) End(false);
    Judge();
  }

 private:
  // The server reads what the client sent and answers; once its handshake
  // is done it writes the plain stream and, when asked, close_notify.
  bool ServerTurn() {
    bool moved = false;
    if (!toServer_.empty()) {
      Check(BIO_write(serverIn_, toServer_.data(), static_cast<int>(toServer_.size())) ==
            static_cast<int>(toServer_.size()));
      toServer_.clear();
      moved = true;
    }
    if (!serverFailed_ && !serverUp_) {
      const int r = SSL_do_handshake(server_);
      if (r == 1) {
        serverUp_ = true;
      } else if (SSL_get_error(server_, r) != SSL_ERROR_WANT_READ) {
        serverFailed_ = true;  // the client gave up and said so
      }
      ERR_clear_error();
    }
    if (serverUp_ && !serverDone_) {
      for (std::size_t at = 0; at < plainSize_;) {
        std::size_t n = writes_.Take(0x3FFF);
        if (n > plainSize_ - at) n = plainSize_ - at;
        Check(SSL_write(server_, plain_ + at, static_cast<int>(n)) == static_cast<int>(n));
        at += n;
      }
      if (closeNotify_) SSL_shutdown(server_);
      ERR_clear_error();
      serverDone_ = true;
    }
    char* bytes = nullptr;
    const long n = BIO_get_mem_data(serverOut_, &bytes);
    if (n > 0) {
      const std::size_t from = pending_.size();
      pending_.insert(pending_.end(), bytes, bytes + n);
      if (flipAt_ >= produced_ && flipAt_ - produced_ < static_cast<std::size_t>(n)) {
        pending_[from + (flipAt_ - produced_)] ^= flipMask_;
      }
      produced_ += static_cast<std::size_t>(n);
      (void)BIO_reset(serverOut_);
      moved = true;
    }
    return moved;
  }

  // Feeds what the server sent in input-sized pieces, as reads would bring
  // it, up to the cut.
  void Deliver() {
    std::size_t at = 0;
    while (at < pending_.size() && !ended_) {
      std::size_t n = feeds_.Take(0x3FFF);
      if (n > pending_.size() - at) n = pending_.size() - at;
      if (cut_ && cutAt_ - fed_ < n) n = cutAt_ - fed_;
      std::unique_ptr<uint8_t[]> piece(new uint8_t[n]);
      std::memcpy(piece.get(), pending_.data() + at, n);
      if (fed_ <= flipAt_ && flipAt_ < fed_ + n && flipMask_ != 0) flipped_ = true;
      client_->FeedCipher(piece.get(), n);
      at += n;
      fed_ += n;
      Round();
      if (cut_ && fed_ == cutAt_) {
        // The stream ends here. Not a cut when it is its natural end.
        End(at < pending_.size() || !serverDone_ || serverFailed_);
      }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
  }

  void End(bool early) {
    cutEarly_ = early;
    client_->FeedCipherEnd();
    Round();
    ended_ = true;
  }

  // The engine's round after a read: Advance, send what the session has,
  // read the plain stream dry.
  void Round() {
    Advance();
    client_->TakeCipher(&toServer_);
    for (;;) {
      // A buffer of exactly `cap` bytes, made anew only when the size
      // changes: most rounds read nothing.
      const std::size_t cap = reads_.Take(0x7FFF);
      if (cap != readCap_) {
        readBuf_.reset(new uint8_t[cap]);
        readCap_ = cap;
      }
      const std::size_t k = client_->ReadPlain(readBuf_.get(), cap);
      if (k == 0) break;
      Check(k <= cap && state_ == State::kOpen && got_ + k <= plainSize_);
      Check(std::memcmp(readBuf_.get(), plain_ + got_, k) == 0);
      got_ += k;
    }
    // ReadPlain ends a session the server closed or broke.
    Advance();
  }

  // Advance, checking the way between the states: no way back from open,
  // closed or failed, a failure text exactly when failed (one that says
  // whether the handshake or the open connection failed), and no sending
  // while not open.
  void Advance() {
    const State before = state_;
    state_ = client_->Advance();
    if (before != State::kHandshaking) Check(state_ != State::kHandshaking);
    if (before == State::kFailed || before == State::kClosed) Check(state_ == before);
    const std::string& text = client_->FailureText();
    Check((state_ == State::kFailed) != text.empty());
    if (state_ == State::kFailed && before != State::kFailed) {
      if (wasOpen_) {
        Check(text.rfind("TLS connection failed: ", 0) == 0);
      } else {
        Check(text.rfind("TLS handshake failed: ", 0) == 0 ||
              text.rfind("certificate verify failed: ", 0) == 0);
      }
    }
    if (state_ == State::kOpen) wasOpen_ = true;
    if (state_ != State::kOpen) Check(!client_->WritePlain(plain_, 1));
  }

  void Judge() const {
    if (wrongTrust_) {
      Check(state_ == State::kFailed && got_ == 0);
      // A flip or a cut may end the handshake before the certificate.
      if (!flipped_ && !cutEarly_) {
        Check(client_->FailureText().rfind("certificate verify failed: ", 0) == 0);
      }
      return;
    }
    // The minor version byte of the first record's header is not protected:
    // the record goes before any key exists, and the version of the record
    // that carries the ServerHello is not held to the one negotiated (it is
    // ignored in TLS 1.3 and may differ in TLS 1.2). Such a flip may pass.
    const bool harmless = flipped_ && flipAt_ == 2;
    if ((flipped_ && !harmless) || cutEarly_) {
      Check(state_ == State::kFailed);
      return;
    }
    if (harmless && state_ == State::kFailed) return;
    Check(got_ == plainSize_);
    Check(state_ == (closeNotify_ ? State::kClosed : State::kFailed));
  }

  const uint8_t* plain_ = nullptr;
  std::size_t plainSize_ = 0;
  uint32_t flipAt_ = 0;
  uint8_t flipMask_ = 0;
  uint32_t cutAt_ = 0;
  Sizes feeds_, reads_, writes_;
  bool tls13_ = false;
  bool closeNotify_ = false;
  bool cut_ = false;
  bool wrongTrust_ = false;

  std::unique_ptr<TlsSession> client_;
  SSL* server_ = nullptr;
  BIO* serverIn_ = nullptr;   // owned by server_
  BIO* serverOut_ = nullptr;  // owned by server_
  bool serverUp_ = false;
  bool serverDone_ = false;
  bool serverFailed_ = false;

  std::vector<uint8_t> toServer_;
  std::vector<uint8_t> pending_;  // sent by the server, not yet fed
  std::size_t produced_ = 0;
  std::size_t fed_ = 0;
  bool flipped_ = false;
  bool ended_ = false;
  bool cutEarly_ = false;
  bool wasOpen_ = false;
  State state_ = State::kHandshaking;
  std::size_t got_ = 0;  // plain bytes read, checked against plain_
  std::unique_ptr<uint8_t[]> readBuf_;
  std::size_t readCap_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  TheWorld();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Run run(data, size);
  run.Go();
  return 0;
}
