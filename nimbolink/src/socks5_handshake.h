// The client side of a SOCKS5 handshake (RFC 1928 CONNECT to an IPv4 or
// IPv6 address or to a domain name the proxy resolves, RFC 1929
// username/password when credentials are given), as a byte-in, byte-out
// state machine with no socket of its own: the caller moves the bytes,
// this decides what they mean.
//
//   Socks5Handshake h(target, port, user, password);
//   h.Start(&out);                       // send `out`
//   ...on every read: h.Feed(data, n, &used, &out); send `out`
//
// Feed takes only the bytes the handshake needs: once the proxy's CONNECT
// reply (bound address included) has been read it stops, and the rest of
// the read belongs to the server's stream.
#ifndef NIMBO2_SOCKS5_HANDSHAKE_H_
#define NIMBO2_SOCKS5_HANDSHAKE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "nimbo2/msg_worker.h"

namespace Nimbo2 {

// What the CONNECT request names: the address type (RFC 1928: 1 IPv4,
// 3 domain name, 4 IPv6) and its bytes (4, the name's 1..255, or 16).
struct Socks5Target {
  uint8_t type = 1;
  std::vector<uint8_t> address;

  static Socks5Target Ipv4(uint32_t address);  // host byte order
  static Socks5Target Ipv6(const uint8_t bytes[16]);
  static Socks5Target Domain(const std::string& name);  // cut to 255 bytes
};

class Socks5Handshake {
 public:
  enum class Status { kNeedMore, kDone, kFailed };

  // `address` and `port` in host byte order. With an empty `username` only
  // "no authentication" is offered; otherwise username/password is offered
  // too and used when the proxy picks it. Both texts must be 1..255 bytes
  // when given (LinkSecurity checks that at set-up); longer ones are cut.
  Socks5Handshake(uint32_t address, uint16_t port, std::string username = {},
                  std::string password = {});
  Socks5Handshake(Socks5Target target, uint16_t port, std::string username = {},
                  std::string password = {});

  // Appends the greeting to `out`.
  void Start(std::vector<uint8_t>* out);
  // Consumes up to `n` bytes of the proxy's answer; *used says how many.
  // May append bytes to send to `out`. After kDone or kFailed nothing more
  // is consumed.
  Status Feed(const uint8_t* data, std::size_t n, std::size_t* used, std::vector<uint8_t>* out);

  // Why it failed: kProxyMethodRefused (the method byte), kProxyAuthRefused
  // (the RFC 1929 status byte), kProxyFailureReply (REP) or kProxyBadReply
  // (the offending byte). Meaningful after kFailed only.
  LinkReason reason() const { return reason_; }
  uint32_t value() const { return value_; }

 private:
  enum class Step { kMethod, kAuth, kReplyHead, kReplyDomainLength, kReplyTail, kDone, kFailed };

  void Fail(LinkReason reason, uint32_t value);
  void Expect(Step step, std::size_t bytes);
  void Complete(std::vector<uint8_t>* out);

  Socks5Target target_;
  uint16_t port_;
  std::string username_;
  std::string password_;
  Step step_ = Step::kMethod;
  // The bytes of the current step gathered so far; no step needs more than
  // the reply's head.
  uint8_t got_[4] = {};
  std::size_t have_ = 0;
  std::size_t want_ = 2;
  LinkReason reason_ = LinkReason::kOtherError;
  uint32_t value_ = 0;
};

}  // namespace Nimbo2

#endif  // NIMBO2_SOCKS5_HANDSHAKE_H_
