// The SOCKS5 handshake reader against a plain reading of the same proxy
// bytes, fed once whole and once cut into input-chosen pieces (each piece
// in a heap buffer of exactly its size, so a read past it is caught). It
// checks that a Feed never takes more than it was given and takes all of it
// while it needs more; that the outcome (done, failed with which reason and
// byte, or needs more), the bytes taken and the bytes sent are the same
// whatever the cut; that once done the first byte left is the first one
// after the CONNECT reply; and that nothing is taken after the end.
// Input: [flags][n][n piece sizes][proxy bytes]. flags bits 0-1 choose the
// username (none, 5 bytes, 255 bytes, 300 bytes that are cut to 255),
// bits 2-3 the password (1, 6, 255 or 256 bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "socks5_handshake.h"

namespace {

using Nimbo2::LinkReason;
using Nimbo2::Socks5Handshake;
using Bytes = std::vector<uint8_t>;
using Status = Socks5Handshake::Status;

constexpr uint32_t kTarget = 0xC0A80A2A;  // 192.168.10.42
constexpr uint16_t kPort = 0xA1B2;

struct Outcome {
  Status status = Status::kNeedMore;
  LinkReason reason = LinkReason::kOtherError;
  uint32_t value = 0;
  std::size_t used = 0;
  Bytes sent;
};

void AppendText(const std::string& s, Bytes* out) {
  const std::size_t n = s.size() < 255 ? s.size() : 255;
  out->push_back(static_cast<uint8_t>(n));
  out->insert(out->end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

// What a proxy's answer `p` (n bytes) must lead to, read straight from the
// two RFCs. A step's bytes are all taken before they are judged, so a
// failure's `used` is the end of the step that failed.
Outcome Reference(const std::string& user, const std::string& password, const uint8_t* p,
                  std::size_t n) {
  Outcome r;
  const bool credentials = !user.empty();
  r.sent = credentials ? Bytes{5, 2, 0, 2} : Bytes{5, 1, 0};
  auto needMore = [&]() {
    r.status = Status::kNeedMore;
    r.used = n;
    return r;
  };
  auto fail = [&](LinkReason reason, uint32_t value, std::size_t end) {
    r.status = Status::kFailed;
    r.reason = reason;
    r.value = value;
    r.used = end;
    return r;
  };
  if (n < 2) return needMore();
  if (p[0] != 5) return fail(LinkReason::kProxyBadReply, p[0], 2);
  std::size_t pos = 2;
  if (p[1] == 2 && credentials) {
    r.sent.push_back(1);
    AppendText(user, &r.sent);
    AppendText(password, &r.sent);
    if (n < pos + 2) return needMore();
    if (p[pos] != 1) return fail(LinkReason::kProxyBadReply, p[pos], pos + 2);
    if (p[pos + 1] != 0) return fail(LinkReason::kProxyAuthRefused, p[pos + 1], pos + 2);
    pos += 2;
  } else if (p[1] != 0) {
    return fail(LinkReason::kProxyMethodRefused, p[1], 2);
  }
  const uint8_t connect[] = {5, 1, 0, 1, 192, 168, 10, 42, 0xA1, 0xB2};
  r.sent.insert(r.sent.end(), connect, connect + sizeof connect);
  if (n < pos + 4) return needMore();
  if (p[pos] != 5) return fail(LinkReason::kProxyBadReply, p[pos], pos + 4);
  if (p[pos + 1] != 0) return fail(LinkReason::kProxyFailureReply, p[pos + 1], pos + 4);
  std::size_t tail;
  switch (p[pos + 3]) {
    case 1: tail = 4 + 2; break;
    case 4: tail = 16 + 2; break;
    case 3:
      if (n < pos + 5) return needMore();
      tail = 1 + std::size_t{p[pos + 4]} + 2;
      break;
    default: return fail(LinkReason::kProxyBadReply, p[pos + 3], pos + 4);
  }
  pos += 4;
  if (n < pos + tail) return needMore();
  r.status = Status::kDone;
  r.used = pos + tail;
  return r;
}

// Feeds `p` in the pieces `cuts` gives (the rest as one piece), going on
// after the end to see that nothing more is taken.
Outcome Drive(const std::string& user, const std::string& password, const uint8_t* p,
              std::size_t n, const std::vector<std::size_t>& cuts) {
  Socks5Handshake h(kTarget, kPort, user, password);
  Outcome r;
  h.Start(&r.sent);
  std::size_t offset = 0;
  bool ended = false;
  for (std::size_t i = 0; i <= cuts.size() && (offset < n || i < cuts.size()); ++i) {
    std::size_t piece = i < cuts.size() ? cuts[i] : n - offset;
    if (piece > n - offset) piece = n - offset;
    // Exactly `piece` bytes on the heap: a read past them is an ASan error.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[piece]);
    for (std::size_t k = 0; k < piece; ++k) copy[k] = p[offset + k];
    const std::size_t sentBefore = r.sent.size();
    std::size_t used = 12345;
    const Status status = h.Feed(copy.get(), piece, &used, &r.sent);
    if (used > piece) std::abort();
    if (ended) {
      // After the end: the same answer, nothing taken, nothing sent.
      if (status != r.status || used != 0 || r.sent.size() != sentBefore) std::abort();
    } else {
      if (status == Status::kNeedMore && used != piece) std::abort();
      r.used += used;
      r.status = status;
      ended = status != Status::kNeedMore;
    }
    offset += piece;
  }
  if (ended && r.used < n) {
    // The bytes behind the reply, offered again as one piece: not taken.
    std::unique_ptr<uint8_t[]> rest(new uint8_t[n - r.used]);
    for (std::size_t k = 0; k < n - r.used; ++k) rest[k] = p[r.used + k];
    const std::size_t sentBefore = r.sent.size();
    std::size_t used = 12345;
    if (h.Feed(rest.get(), n - r.used, &used, &r.sent) != r.status || used != 0 ||
        r.sent.size() != sentBefore) {
      std::abort();
    }
  }
  if (r.status == Status::kFailed) {
    r.reason = h.reason();
    r.value = h.value();
  }
  return r;
}

bool Same(const Outcome& a, const Outcome& b) {
  if (a.status != b.status || a.used != b.used || a.sent != b.sent) return false;
  return a.status != Status::kFailed || (a.reason == b.reason && a.value == b.value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const std::size_t kUserLength[] = {0, 5, 255, 300};
  static const std::size_t kPasswordLength[] = {1, 6, 255, 256};
  std::string user(kUserLength[data[0] & 3], 'u');
  for (std::size_t i = 0; i < user.size(); ++i) user[i] = static_cast<char>('a' + i % 26);
  std::string password(kPasswordLength[(data[0] >> 2) & 3], 'p');
  password.back() = '!';
  if (user.empty()) password.clear();

  std::size_t pos = 2;
  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i < data[1] && pos < size; ++i) cuts.push_back(data[pos++]);
  const uint8_t* proxy = data + pos;
  const std::size_t n = size - pos;

  const Outcome want = Reference(user, password, proxy, n);
  const Outcome whole = Drive(user, password, proxy, n, {});
  const Outcome cut = Drive(user, password, proxy, n, cuts);
  if (!Same(whole, want) || !Same(cut, whole)) std::abort();
  return 0;
}
