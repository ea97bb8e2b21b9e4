// The client side of one TLS connection over memory buffers: the caller
// moves the encrypted bytes between this and its socket, this turns them
// into the plain stream and back. OpenSSL on Linux (tls_openssl.cpp), the
// system's SChannel on Windows (tls_schannel.cpp).
//
// One round of the caller's loop:
//
//   on bytes read:   s->FeedCipher(data, n)      (on end of stream: FeedCipherEnd)
//                    state = s->Advance()
//                    while ((k = s->ReadPlain(buf, cap)) > 0) deliver(buf, k)
//                    (ReadPlain returning 0: Advance() tells whether the peer
//                    closed or the stream failed)
//   to send:         s->WritePlain(msg, len)
//   always after:    s->TakeCipher(&out); send out
//
// The handshake may need several rounds; nothing of the plain stream goes
// out before Advance() says kOpen, and WritePlain refuses until then.
// Bytes that arrive together with the end of the handshake stay buffered
// and come out of ReadPlain.
//
// Verification is part of the handshake and cannot be turned off: the
// certificate must be valid now, carry the server name, and be trusted by
// the configured trust (see TlsConfig). A failed session stays failed;
// FailureText() is then one line for the host: "certificate verify
// failed: <why>" or "TLS handshake failed: <why>" during the handshake,
// "TLS connection failed: <why>" after it. After a failure, TakeCipher may
// still hand out an alert that tells the server why; send it, then close.
//
// Threads: a session has no thread of its own and no lock. It may be used
// from several threads as long as the caller serialises every call on it
// (one mutex around all of them); the failure text is kept in the session,
// not in the TLS library's per-thread error state, so any thread can read it.
#ifndef NIMBO2_TLS_SESSION_H_
#define NIMBO2_TLS_SESSION_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nimbo2/link_security.h"

namespace Nimbo2 {

class TlsSession {
 public:
  enum class State {
    kHandshaking,
    kOpen,    // the plain stream flows both ways
    kClosed,  // the server ended the stream cleanly (close_notify), or Shutdown
    kFailed,  // see FailureText()
  };

  // A session for `config`, ready to start (the first TakeCipher after
  // Advance holds the ClientHello). Null with *error set when the config
  // cannot be used (no server name, CA text that does not parse, out of
  // memory). On Linux, when the environment variable KELVO_TLS_KEYLOG names
  // a file, the session's secrets are appended to it in the NSS key log
  // format, so that a capture can be decrypted.
  static std::unique_ptr<TlsSession> Create(const TlsConfig& config, std::string* error);

  // True when `pem` holds at least one certificate and every certificate
  // block in it parses; otherwise *error says why.
  static bool CheckCaPem(const std::string& pem, std::string* error);

  static constexpr char kKeyLogVariable[] = "KELVO_TLS_KEYLOG";

  virtual ~TlsSession() = default;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Bytes received from the server.
  virtual void FeedCipher(const uint8_t* data, std::size_t n) = 0;
  // The server closed its end of the connection: no more bytes will come.
  virtual void FeedCipherEnd() = 0;
  // Appends every byte waiting to be sent to `out`.
  virtual void TakeCipher(std::vector<uint8_t>* out) = 0;
  // Moves the handshake on with the bytes fed so far; returns the state.
  virtual State Advance() = 0;
  // Up to `cap` bytes of the plain stream; 0 when none is ready.
  virtual std::size_t ReadPlain(uint8_t* buf, std::size_t cap) = 0;
  // Encrypts all of `data` for sending. False unless the session is open.
  virtual bool WritePlain(const uint8_t* data, std::size_t n) = 0;
  // Queues close_notify (when open) and ends the session (kClosed).
  virtual void Shutdown() = 0;
  // Why the session failed; empty unless it did.
  virtual const std::string& FailureText() const = 0;

 protected:
  TlsSession() = default;
};

// TlsSession::Create of a back end: the server name is checked first (the
// same rule on every platform: a name with a NUL inside, or one the SNI
// extension cannot carry, never reaches the library), then the back end's
// Session(config).Init(error) runs.
template <typename Session>
std::unique_ptr<TlsSession> CreateSession(const TlsConfig& config, std::string* error) {
  if (!IsValidServerName(config.serverName.c_str()) ||
      config.serverName.size() != std::strlen(config.serverName.c_str())) {
    *error = "TLS set-up failed: bad server name";
    return nullptr;
  }
  auto session = std::make_unique<Session>(config);
  if (!session->Init(error)) return nullptr;
  return session;
}

}  // namespace Nimbo2

#endif  // NIMBO2_TLS_SESSION_H_
