// The SOCKS5 handshake as bytes in and bytes out: every vector is fed whole,
// one byte at a time, and cut one byte short of what the handshake needs.
// Then against a real proxy that asks for a username and password.
#include "socks5_handshake.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/loopback_server.h"
#include "support/socks5_proxy.h"

namespace kelvo {
namespace test {
namespace {

using Nimbo2::LinkReason;
using Nimbo2::Socks5Handshake;
using Bytes = std::vector<uint8_t>;
using Status = Socks5Handshake::Status;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
Bytes Text(const std::string& s) {
  // Sized first: g++ 12 at -O3 warns (wrongly) about inserting behind a
  // one-byte brace-initialised vector.
  Bytes b(1 + s.size());
  b[0] = static_cast<uint8_t>(s.size());
  std::copy(s.begin(), s.end(), b.begin() + 1);
  return b;
}

// Target 10.1.2.3:8080.
constexpr uint32_t kTarget = 0x0A010203;
constexpr uint16_t kPort = 8080;
const Bytes kGreetNoAuth = {5, 1, 0};
const Bytes kGreetBoth = {5, 2, 0, 2};
const Bytes kConnect = {5, 1, 0, 1, 10, 1, 2, 3, 0x1F, 0x90};
const Bytes kReplyV4 = {5, 0, 0, 1, 127, 0, 0, 1, 0x04, 0x38};
// Bytes the server sent right behind the proxy's reply: never the handshake's.
const Bytes kServerBytes = {0x0C, 0x2C, 0x09, 0x00};

struct Row {
  const char* name;
  std::string user, password;
  Bytes proxy;     // everything the proxy sends, server bytes included
  size_t needed;   // of which the handshake consumes this many
  Bytes sent;      // everything the client sends
  Status status;
  LinkReason reason;
  uint32_t value;
};

struct Outcome {
  Status status = Status::kNeedMore;
  size_t used = 0;
  Bytes sent;
};

// Feeds proxy[0, limit) in chunks of `chunk` bytes, stopping at the first
// result other than kNeedMore.
Outcome Drive(const Row& row, size_t limit, size_t chunk) {
  Socks5Handshake h(kTarget, kPort, row.user, row.password);
  Outcome r;
  h.Start(&r.sent);
  while (r.used < limit && r.status == Status::kNeedMore) {
    const size_t n = std::min(chunk, limit - r.used);
    size_t used = 0;
    r.status = h.Feed(row.proxy.data() + r.used, n, &used, &r.sent);
    EXPECT_LE(used, n);
    r.used += used;
    if (r.status == Status::kNeedMore) {
      EXPECT_EQ(used, n) << "stopped early without a result";
    }
  }
  if (r.status != Status::kNeedMore && r.used < limit) {
    // Finished: whatever follows is left alone.
    size_t used = 99;
    Bytes more;
    EXPECT_EQ(h.Feed(row.proxy.data() + r.used, limit - r.used, &used, &more), r.status);
    EXPECT_EQ(used, 0u);
    EXPECT_TRUE(more.empty());
  }
  if (r.status == Status::kFailed) {
    EXPECT_EQ(h.reason(), row.reason);
    EXPECT_EQ(h.value(), row.value);
  }
  return r;
}

TEST(Socks5Handshake, Vectors) {
  const std::string user255(255, 'u'), pass255(255, 'p');
  const Bytes authOk = {1, 0};
  const Row rows[] = {
      {"no credentials, IPv4 bound address", "", "", Cat({{5, 0}, kReplyV4, kServerBytes}), 12,
       Cat({kGreetNoAuth, kConnect}), Status::kDone, {}, 0},
      {"domain bound address is skipped", "", "",
       Cat({{5, 0}, {5, 0, 0, 3}, Text("proxy.example"), {0, 80}, kServerBytes}), 2 + 4 + 14 + 2,
       Cat({kGreetNoAuth, kConnect}), Status::kDone, {}, 0},
      {"empty domain bound address", "", "", Cat({{5, 0}, {5, 0, 0, 3, 0, 0, 80}, kServerBytes}),
       9, Cat({kGreetNoAuth, kConnect}), Status::kDone, {}, 0},
      {"IPv6 bound address is skipped", "", "",
       Cat({{5, 0}, {5, 0, 0, 4}, Bytes(16, 0xFE), {0, 80}, kServerBytes}), 2 + 4 + 18,
       Cat({kGreetNoAuth, kConnect}), Status::kDone, {}, 0},
      {"credentials asked for and accepted", "user", "secret",
       Cat({{5, 2}, authOk, kReplyV4, kServerBytes}), 14,
       Cat({kGreetBoth, {1}, Text("user"), Text("secret"), kConnect}), Status::kDone, {}, 0},
      {"credentials at the 255-byte limit", user255, pass255,
       Cat({{5, 2}, authOk, kReplyV4, kServerBytes}), 14,
       Cat({kGreetBoth, {1}, Text(user255), Text(pass255), kConnect}), Status::kDone, {}, 0},
      {"credentials offered, proxy wants none", "user", "secret",
       Cat({{5, 0}, kReplyV4, kServerBytes}), 12, Cat({kGreetBoth, kConnect}), Status::kDone, {},
       0},
      {"credentials refused", "user", "wrong", {5, 2, 1, 1, 5, 0, 0, 1}, 4,
       Cat({kGreetBoth, {1}, Text("user"), Text("wrong")}), Status::kFailed,
       LinkReason::kProxyAuthRefused, 1},
      {"credentials refused with another status", "user", "wrong", {5, 2, 1, 0xFF}, 4,
       Cat({kGreetBoth, {1}, Text("user"), Text("wrong")}), Status::kFailed,
       LinkReason::kProxyAuthRefused, 0xFF},
      {"credentials reply of another version", "user", "secret", {5, 2, 5, 0}, 4,
       Cat({kGreetBoth, {1}, Text("user"), Text("secret")}), Status::kFailed,
       LinkReason::kProxyBadReply, 5},
      {"proxy wants credentials we do not have", "", "", {5, 2, 1, 0}, 2, kGreetNoAuth,
       Status::kFailed, LinkReason::kProxyMethodRefused, 2},
      {"no acceptable method", "user", "secret", {5, 0xFF}, 2, kGreetBoth, Status::kFailed,
       LinkReason::kProxyMethodRefused, 0xFF},
      {"method reply of version 4", "", "", {4, 0}, 2, kGreetNoAuth, Status::kFailed,
       LinkReason::kProxyBadReply, 4},
      {"CONNECT refused (REP 5)", "", "", {5, 0, 5, 5, 0, 1, 0, 0, 0, 0, 0, 0}, 6,
       Cat({kGreetNoAuth, kConnect}), Status::kFailed, LinkReason::kProxyFailureReply, 5},
      {"CONNECT reply of version 0", "", "", {5, 0, 0, 0, 0, 1}, 6, Cat({kGreetNoAuth, kConnect}),
       Status::kFailed, LinkReason::kProxyBadReply, 0},
      {"unknown address type", "", "", {5, 0, 5, 0, 0, 9, 1, 2}, 6,
       Cat({kGreetNoAuth, kConnect}), Status::kFailed, LinkReason::kProxyBadReply, 9},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (size_t chunk : {row.proxy.size(), size_t{1}}) {
      SCOPED_TRACE(chunk == 1 ? "byte by byte" : "whole");
      const Outcome r = Drive(row, row.proxy.size(), chunk);
      EXPECT_EQ(r.status, row.status);
      EXPECT_EQ(r.used, row.needed);
      EXPECT_EQ(r.sent, row.sent);
    }
    SCOPED_TRACE("one byte short");
    const Outcome r = Drive(row, row.needed - 1, row.needed);
    EXPECT_EQ(r.status, Status::kNeedMore);
    EXPECT_EQ(r.used, row.needed - 1);
  }
}

// Drives `h` over a blocking connection to the proxy at `port`; returns
// the result (kNeedMore: the proxy went silent or closed).
Status OverSocket(Socks5Handshake& h, SocketHandle s) {
  Bytes out;
  h.Start(&out);
  for (int round = 0; round < 10; ++round) {
    if (!out.empty() && SendBytes(s, out.data(), out.size()) != static_cast<long>(out.size())) {
      break;
    }
    out.clear();
    pollfd p{s, POLLIN, 0};
    uint8_t buf[512];
    if (PollSockets(&p, 1, 5000) != 1) break;
    const long n = RecvBytes(s, buf, sizeof buf);
    if (n <= 0) break;
    size_t used = 0;
    const Status st = h.Feed(buf, static_cast<size_t>(n), &used, &out);
    if (st != Status::kNeedMore) return st;
  }
  return Status::kNeedMore;
}

TEST(Socks5Handshake, MicrosocksAskingForCredentials) {
  MicrosocksProxy proxy;
  if (!proxy.Start("kelvo", "s3cret")) GTEST_SKIP() << proxy.error();
  LoopbackServer server;
  struct Row {
    const char* name;
    std::string user, password;
    Status status;
    LinkReason reason;
  } rows[] = {
      {"right credentials", "kelvo", "s3cret", Status::kDone, {}},
      {"wrong password", "kelvo", "secret", Status::kFailed, LinkReason::kProxyAuthRefused},
      {"no credentials", "", "", Status::kFailed, LinkReason::kProxyMethodRefused},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StartSockets();
    const SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in at = LoopbackAddress(proxy.port());
    ASSERT_EQ(::connect(s, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    Socks5Handshake h(0x7F000001, server.port(), row.user, row.password);
    const Status st = OverSocket(h, s);
    EXPECT_EQ(st, row.status);
    if (st == Status::kFailed) {
      EXPECT_EQ(h.reason(), row.reason);
      EXPECT_NE(h.value(), 0u);
    } else if (st == Status::kDone) {
      // The tunnel carries the stream both ways.
      ASSERT_TRUE(server.Accept());
      ASSERT_TRUE(server.Send(kServerBytes));
      uint8_t buf[4];
      size_t got = 0;
      while (got < sizeof buf) {
        const long n = RecvBytes(s, buf + got, sizeof buf - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      EXPECT_EQ(Bytes(buf, buf + got), kServerBytes);
    }
    CloseSocketHandle(s);
  }
}

}  // namespace
}  // namespace test
}  // namespace kelvo
