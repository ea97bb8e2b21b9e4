#include "socks5_handshake.h"

#include <algorithm>
#include <utility>

namespace Nimbo2 {

namespace {

constexpr uint8_t kSocksVersion = 5;
constexpr uint8_t kMethodNoAuth = 0;
constexpr uint8_t kMethodUserPassword = 2;
constexpr uint8_t kUserPasswordVersion = 1;  // RFC 1929's sub-negotiation
constexpr uint8_t kCmdConnect = 1;
constexpr uint8_t kAtypIpv4 = 1;
constexpr uint8_t kAtypDomain = 3;
constexpr uint8_t kAtypIpv6 = 4;
constexpr std::size_t kMaxText = 255;

void AppendText(const std::string& text, std::vector<uint8_t>* out) {
  const std::size_t n = std::min(text.size(), kMaxText);
  out->push_back(static_cast<uint8_t>(n));
  out->insert(out->end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace

Socks5Target Socks5Target::Ipv4(uint32_t address) {
  Socks5Target t;
  t.type = kAtypIpv4;
  t.address = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
               static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  return t;
}

Socks5Target Socks5Target::Ipv6(const uint8_t bytes[16]) {
  Socks5Target t;
  t.type = kAtypIpv6;
  t.address.assign(bytes, bytes + 16);
  return t;
}

Socks5Target Socks5Target::Domain(const std::string& name) {
  Socks5Target t;
  t.type = kAtypDomain;
  AppendText(name, &t.address);  // the length byte, then the name
  return t;
}

Socks5Handshake::Socks5Handshake(uint32_t address, uint16_t port, std::string username,
                                 std::string password)
    : Socks5Handshake(Socks5Target::Ipv4(address), port, std::move(username),
                      std::move(password)) {}

Socks5Handshake::Socks5Handshake(Socks5Target target, uint16_t port, std::string username,
                                 std::string password)
    : target_(std::move(target)),
      port_(port),
      username_(std::move(username)),
      password_(std::move(password)) {}

// With credentials both methods are offered: a proxy that asks for none
// still works, one that asks for them gets them.
void Socks5Handshake::Start(std::vector<uint8_t>* out) {
  out->push_back(kSocksVersion);
  if (username_.empty()) {
    out->push_back(1);
    out->push_back(kMethodNoAuth);
  } else {
    out->push_back(2);
    out->push_back(kMethodNoAuth);
    out->push_back(kMethodUserPassword);
  }
  Expect(Step::kMethod, 2);
}

Socks5Handshake::Status Socks5Handshake::Feed(const uint8_t* data, std::size_t n,
                                              std::size_t* used, std::vector<uint8_t>* out) {
  *used = 0;
  while (step_ != Step::kDone && step_ != Step::kFailed && *used < n) {
    const std::size_t take = std::min(want_ - have_, n - *used);
    // The bound address and port are read only to be skipped.
    if (step_ != Step::kReplyTail) std::copy(data + *used, data + *used + take, got_ + have_);
    have_ += take;
    *used += take;
    if (have_ == want_) Complete(out);
  }
  switch (step_) {
    case Step::kDone: return Status::kDone;
    case Step::kFailed: return Status::kFailed;
    default: return Status::kNeedMore;
  }
}

void Socks5Handshake::Expect(Step step, std::size_t bytes) {
  step_ = step;
  have_ = 0;
  want_ = bytes;
}

void Socks5Handshake::Fail(LinkReason reason, uint32_t value) {
  step_ = Step::kFailed;
  reason_ = reason;
  value_ = value;
}

// One step's bytes are in got_: judge them and move on.
void Socks5Handshake::Complete(std::vector<uint8_t>* out) {
  switch (step_) {
    case Step::kMethod: {
      if (got_[0] != kSocksVersion) return Fail(LinkReason::kProxyBadReply, got_[0]);
      const uint8_t method = got_[1];
      if (method == kMethodUserPassword && !username_.empty()) {
        out->push_back(kUserPasswordVersion);
        AppendText(username_, out);
        AppendText(password_, out);
        Expect(Step::kAuth, 2);
        return;
      }
      // Anything but a method we offered (0xFF: none acceptable) ends here.
      if (method != kMethodNoAuth) return Fail(LinkReason::kProxyMethodRefused, method);
      break;
    }
    case Step::kAuth:
      if (got_[0] != kUserPasswordVersion) return Fail(LinkReason::kProxyBadReply, got_[0]);
      if (got_[1] != 0) return Fail(LinkReason::kProxyAuthRefused, got_[1]);
      break;
    case Step::kReplyHead:
      // VER REP RSV ATYP; RSV is not checked.
      if (got_[0] != kSocksVersion) return Fail(LinkReason::kProxyBadReply, got_[0]);
      if (got_[1] != 0) return Fail(LinkReason::kProxyFailureReply, got_[1]);
      switch (got_[3]) {
        case kAtypIpv4: Expect(Step::kReplyTail, 4 + 2); break;
        case kAtypIpv6: Expect(Step::kReplyTail, 16 + 2); break;
        case kAtypDomain: Expect(Step::kReplyDomainLength, 1); break;
        default: return Fail(LinkReason::kProxyBadReply, got_[3]);
      }
      return;
    case Step::kReplyDomainLength:
      Expect(Step::kReplyTail, std::size_t{got_[0]} + 2);
      return;
    case Step::kReplyTail:
      step_ = Step::kDone;
      return;
    case Step::kDone:
    case Step::kFailed:
      return;
  }
  // Method or credentials accepted: CONNECT to the target.
  out->push_back(kSocksVersion);
  out->push_back(kCmdConnect);
  out->push_back(0);
  out->push_back(target_.type);
  out->insert(out->end(), target_.address.begin(), target_.address.end());
  out->push_back(static_cast<uint8_t>(port_ >> 8));
  out->push_back(static_cast<uint8_t>(port_));
  Expect(Step::kReplyHead, 4);
}

}  // namespace Nimbo2
