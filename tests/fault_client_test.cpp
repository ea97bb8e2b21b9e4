// Faults on the wire against the whole client (ImServerClient over a real
// TCPClient_Socks5 on 127.0.0.1): a server that resets mid-message or says
// nothing, a stream dripped one byte per segment, maximal messages that
// break their size rules, connect timeouts, a 100,000-entry roster, and a
// server that stops reading while the host keeps sending.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/im_server_client.h"
#include "gtest/gtest.h"
#include "kelvo/kelvo_core.h"
#include "nimbo2/tcp_client_socks5.h"
#include "protocol/request_layouts.h"
#include "sink/texts.h"
#include "support/loopback_server.h"
#include "support/recording_sink.h"
#include "support/socks5_proxy.h"
#include "support/waiting_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::Msg;
using test::WaitingSink;

IImClient* NewClient() {
  return static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
}

// Releases the client when a test ends early, before its sink goes.
struct Releaser {
  void operator()(IImClient* client) const {
    if (client != nullptr) client->Release();
  }
};
using ClientPtr = std::unique_ptr<IImClient, Releaser>;

// A client object over a real socket client with its own connect timeout.
IImClient* NewClientWithTimeout(uint32_t timeoutMs) {
  return new ImServerClient([timeoutMs](Nimbo2::MsgWorker* worker) {
    auto* socket = new Nimbo2::TCPClient_Socks5(worker);
    socket->SetConnectTimeoutMs(timeoutMs);
    return socket;
  });
}

ServerAddress To(uint16_t port, uint16_t proxyPort = 0) {
  ServerAddress a{};
  a.serverIp = 0x7F000001;
  a.serverPort = port;
  if (proxyPort != 0) {
    a.proxyIp = 0x7F000001;
    a.proxyPort = proxyPort;
  }
  return a;
}

Bytes Concat(const std::vector<Bytes>& messages) {
  Bytes all;
  for (const Bytes& m : messages) all.insert(all.end(), m.begin(), m.end());
  return all;
}

// One user-list entry: the fixed fields, then the name and its terminator.
Bytes UserEntry(uint32_t id, const std::string& name, uint16_t groupId, uint16_t gameServer) {
  Bytes e = Msg(0).U32(id).U8(7).U8(1).U8(1).U8(2).U16(groupId).U16(5).U16(gameServer).U16(9)
                .Raw(name)
                .U8(0)
                .Build();
  e.erase(e.begin(), e.begin() + 3);  // drop what Msg put before the entry
  e[0] = static_cast<uint8_t>(e.size());
  return e;
}

Bytes UserList(const std::vector<Bytes>& entries) {
  Msg m(47);
  for (const Bytes& e : entries) m.Append(e);
  return m.Build();
}

Bytes Chat(uint32_t sender, const std::string& text) {
  return Msg(73).U32(sender).Zeros(5).U8(1).U8(2).U8(3).Zeros(7).Raw(text).U8(0).Build();
}

// A connected client, its sink and the server's side.
struct Session {
  test::LoopbackServer server;
  WaitingSink sink;
  IImClient* client = NewClient();

  void Up() {
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->SetSink(&sink));
    const ServerAddress address = To(server.port());
    ASSERT_TRUE(client->Connect(&address));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(sink.WaitFor("OnConnect"));
    ASSERT_NE(sink.log.find("OnConnect(1)"), std::string::npos);
  }
  // Joins the network thread: after this no sink call can come.
  void End() {
    if (client != nullptr) client->Release();
    client = nullptr;
  }
  ~Session() { End(); }
};

// ---------------------------------------------------------------------------

TEST(FaultClient, ServerEndingMidMessageGivesOneCloseAndNothingOfThePartial) {
  struct Row {
    const char* name;
    std::size_t partial;  // bytes of a 40-byte chat that get out
    bool reset;
  } rows[] = {
      {"reset inside the header", 3, true},
      {"reset inside the text", 30, true},
      {"reset one byte short", 39, true},
      {"FIN one byte short", 39, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Session s;
    ASSERT_NO_FATAL_FAILURE(s.Up());
    ASSERT_TRUE(s.server.Send(UserList({UserEntry(100, "amy", 1, 0)})));
    ASSERT_TRUE(s.server.Send(Chat(100, "whole")));
    ASSERT_TRUE(s.sink.WaitFor("OnChatMessage"));
    const Bytes cut = Chat(100, std::string(16, 'x'));
    ASSERT_EQ(cut.size(), 40u);
    ASSERT_TRUE(s.server.Send(cut.data(), row.partial));
    if (row.reset) {
      s.server.Reset();
    } else {
      s.server.Close();
    }
    ASSERT_TRUE(s.sink.WaitFor("OnClose"));
    UserRecord r{};
    EXPECT_FALSE(s.client->GetUser(100, &r)) << "a closure empties the roster";
    s.End();
    EXPECT_EQ(s.sink.Names(), (std::vector<std::string>{"QueryInterface", "OnConnect",
                                                        "OnChatMessage", "OnLog", "OnClose"}));
    EXPECT_NE(s.sink.log.find("OnClose(0)"), std::string::npos);
  }
}

TEST(FaultClient, SilentServerLeavesTheClientUpAndCloseStillWorks) {
  test::LoopbackServer server;
  WaitingSink sink;
  ClientPtr client(new ImServerClient());
  ASSERT_TRUE(client->SetSink(&sink));
  const ServerAddress address = To(server.port());
  ASSERT_TRUE(client->Connect(&address));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(sink.WaitFor("OnConnect"));
  // Over a second of silence: nothing may end the link or reach the host.
  std::this_thread::sleep_for(1200ms);
  EXPECT_EQ(sink.Names(), (std::vector<std::string>{"QueryInterface", "OnConnect"}));
  // Requests still go out.
  ASSERT_TRUE(client->Logout(7));
  Bytes got;
  ASSERT_TRUE(server.Read(request::kLogoutSize, &got));
  EXPECT_EQ(got[3], 2);
  EXPECT_TRUE(client->Close());
  EXPECT_TRUE(server.WaitPeerClosed());
  EXPECT_FALSE(client->Logout(7)) << "nothing to send on after Close";
  client.reset();  // joins the network thread
  EXPECT_EQ(sink.Names(), (std::vector<std::string>{"QueryInterface", "OnConnect"}))
      << "Close itself reports nothing";
}

TEST(FaultClient, StreamDrippedOneBytePerSegmentGivesWhatDirectDeliveryGives) {
  // The same messages delivered straight into a client's HandleMessage make
  // the reference: over the socket, one byte per segment, the host must see
  // exactly the same calls with the same arguments.
  const std::vector<Bytes> messages = {
      UserList({UserEntry(100, "amy", 1, 0), UserEntry(200, "bob", 2, 7),
                UserEntry(0x80000001u, "top-bit", 1, 3)}),
      Msg(46).U8(12).U16(1).U16(0).U8(1).U16(0).Raw("frd").U8(0).Build(),
      Msg(61).U32(100).U8(2).Zeros(4).Build(),
      Msg(56).U8(1).U32(200).U16(9).Build(),
      Chat(200, "hello over a slow line"),
      Msg(62).U32(2).U8(1).U8(2).U8(3).U8(4).Raw("notice").U8(0).Build(),
      Msg(72).U8(18).U32(555).U8(1).U8(1).U8(2).Zeros(2).U16(4).U16(5).Raw("sue").U8(0).Build(),
      Msg(9).U32(100).Zeros(4).U8(1).U8(1).U8(1).Fill(255, 'z').U8(0).Build(),
      Msg(61).U32(200).U8(1).Zeros(4).Build(),
      Chat(100, "last"),
  };
  test::RecordingSink reference;
  {
    test::FakeClient direct;
    direct->SetSink(&reference);
    for (const Bytes& m : messages) test::Deliver(*direct, m);
  }
  const std::string expected =
      reference.log.substr(reference.log.find('\n') + 1);  // past QueryInterface

  Session s;
  ASSERT_NO_FATAL_FAILURE(s.Up());
  const int one = 1;
  ::setsockopt(s.server.connection(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const Bytes stream = Concat(messages);
  for (std::size_t i = 0; i < stream.size(); ++i) ASSERT_TRUE(s.server.Send(&stream[i], 1));
  ASSERT_TRUE(s.sink.WaitFor("OnChatMessage", 4, 20s));
  UserRecord r{};
  ASSERT_TRUE(s.client->GetUser(0x80000001u, &r));
  EXPECT_STREQ(r.name, "top-bit");
  s.End();
  const std::string prefix = "QueryInterface(IID_IImClientSink,16843008)\nOnConnect(1)\n";
  ASSERT_EQ(s.sink.log.substr(0, prefix.size()), prefix);
  EXPECT_EQ(s.sink.log.substr(prefix.size()), expected);
}

TEST(FaultClient, MaximalMessagesBreakingTheirSizeRuleAreReportedAndTheLineStaysUp) {
  struct Row {
    const char* name;
    uint8_t id;
    bool flagBit;
    std::string text;
  } rows[] = {
      {"chat id 9", 9, false, kTextSizeError_IM_US_MSG_SEND_MESSAGE},
      {"chat id 9 with the length word's flag bit", 9, true, kTextSizeError_IM_US_MSG_SEND_MESSAGE},
      {"chat id 68", 68, false, kTextSizeError_IM_US_MSG_SEND_MESSAGE},
      {"user chat id 73", 73, false, kTextSizeError_IM_MSG_ID_USER_CHAT},
      {"user list", 47, false, kTextSizeError_IM_MSG_MY_USER_LIST},
      {"group list", 49, false, kTextSizeError_IM_MSG_ID_MY_GROUP_LIST},
      {"search list", 72, false, kTextSizeError_IM_MSG_ID_SEARCH_USER_RES_LIST},
      {"undefined id 200", 200, false, "ImServerClient::HandleMessage() undefine msg ID=200!"},
  };
  Session s;
  ASSERT_NO_FATAL_FAILURE(s.Up());
  std::vector<Bytes> stream;
  for (const Row& row : rows) {
    stream.push_back(
        test::Frame(0x7FFF, row.id, static_cast<uint8_t>(row.id * 3), row.flagBit));
    stream.push_back(Chat(42, row.name));  // proves the message after it still gets through
  }
  ASSERT_TRUE(s.server.Send(Concat(stream)));
  const int rowCount = static_cast<int>(sizeof rows / sizeof rows[0]);
  ASSERT_TRUE(s.sink.WaitFor("OnChatMessage", rowCount, 10s));
  s.End();
  ASSERT_EQ(s.sink.logTexts.size(), static_cast<std::size_t>(rowCount));
  for (int i = 0; i < rowCount; ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(s.sink.logTexts[i], rows[i].text);
  }
  EXPECT_EQ(s.sink.CountOf("OnClose"), 0) << "a size error does not touch the connection";
  // Each rejected message sits between two chats, in stream order.
  std::vector<std::string> expectedNames = {"QueryInterface", "OnConnect"};
  for (int i = 0; i < rowCount; ++i) {
    expectedNames.push_back("OnLog");
    expectedNames.push_back("OnChatMessage");
  }
  EXPECT_EQ(s.sink.Names(), expectedNames);
}

TEST(FaultClient, ConnectTimeoutReachesTheHostAsOnConnectZero) {
  struct Row {
    const char* name;
    bool viaProxy;
  } rows[] = {
      {"server never answers the SYN", false},
      {"proxy accepts and never answers the greeting", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::LoopbackServer stalled(0);
    ASSERT_TRUE(stalled.Saturate());
    test::FakeSocks5Script silent;
    silent.methodReply.clear();
    test::FakeSocks5Proxy proxy(silent);
    ClientPtr client(NewClientWithTimeout(300));
    WaitingSink sink;
    ASSERT_TRUE(client->SetSink(&sink));
    const ServerAddress address =
        row.viaProxy ? To(9, proxy.port()) : To(stalled.port());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client->Connect(&address));
    ASSERT_TRUE(sink.WaitFor("OnConnect"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_NE(sink.log.find("OnConnect(0)"), std::string::npos) << sink.log;
    // A failed attempt leaves the object ready for the next one.
    if (row.viaProxy) {
      test::FakeSocks5Proxy working({{5, 0}, false, {5, 0, 0, 1, 127, 0, 0, 1, 0, 9}, {}});
      const ServerAddress next = To(9, working.port());
      ASSERT_TRUE(client->Connect(&next));
      ASSERT_TRUE(sink.WaitFor("OnConnect", 2));
      client.reset();
    } else {
      test::LoopbackServer good;
      const ServerAddress next = To(good.port());
      ASSERT_TRUE(client->Connect(&next));
      ASSERT_TRUE(good.Accept());
      ASSERT_TRUE(sink.WaitFor("OnConnect", 2));
      client.reset();
    }
    EXPECT_EQ(sink.Names(),
              (std::vector<std::string>{"QueryInterface", "OnLog", "OnConnect", "OnConnect"}));
    EXPECT_NE(sink.log.find("failed: timed out after 300 ms"), std::string::npos) << sink.log;
    EXPECT_NE(sink.log.find("OnConnect(0)\nOnConnect(1)\n"), std::string::npos) << sink.log;
  }
}

// Collects the ids the enumeration hands out, without recording a line each.
class EnumSink : public WaitingSink {
 public:
  bool KELVO_CALL OnEnumUser(uint32_t, const UserRecord* user) override {
    ids.push_back(user->userId);
    return true;
  }
  std::vector<uint32_t> ids;
};

TEST(FaultClient, HundredThousandEntryRosterOverTheSocket) {
  constexpr uint32_t kUsers = 100000;
  constexpr std::size_t kPerList = 30;
  // Scattered ids, distinct because multiplying by an odd number is a
  // bijection on 32 bits; many have the top bit set.
  auto idOf = [](uint32_t i) { return i * 2654435761u; };
  std::vector<uint32_t> sent;
  Bytes stream;
  std::vector<Bytes> entries;
  for (uint32_t i = 1; i <= kUsers; ++i) {
    sent.push_back(idOf(i));
    entries.push_back(UserEntry(idOf(i), "u" + std::to_string(i), static_cast<uint16_t>(i % 7),
                                static_cast<uint16_t>(i % 13)));
    if (entries.size() == kPerList || i == kUsers) {
      const Bytes list = UserList(entries);
      ASSERT_LE(list.size(), 1440u);
      stream.insert(stream.end(), list.begin(), list.end());
      entries.clear();
    }
  }
  // Ends with a notice about the last user: its callback says all is in.
  const Bytes last = Msg(61).U32(idOf(kUsers)).U8(2).Zeros(4).Build();
  stream.insert(stream.end(), last.begin(), last.end());

  test::LoopbackServer server;
  EnumSink sink;
  ClientPtr client(NewClient());
  ASSERT_TRUE(client->SetSink(&sink));
  const ServerAddress address = To(server.port());
  ASSERT_TRUE(client->Connect(&address));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(sink.WaitFor("OnConnect"));
  ASSERT_TRUE(server.Send(stream));
  ASSERT_TRUE(sink.WaitFor("OnOnlineStateChanged", 1, 60s));

  client->EnumUsers(0, 0, 0, 0, 0);
  std::vector<uint32_t> expected = sent;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sink.ids.size(), expected.size());
  EXPECT_TRUE(sink.ids == expected) << "the roster holds exactly the ids sent, ascending";

  for (uint32_t i : {1u, 2u, 777u, 65536u, kUsers}) {
    SCOPED_TRACE(i);
    UserRecord r{};
    ASSERT_TRUE(client->GetUser(idOf(i), &r));
    EXPECT_EQ(r.userId, idOf(i));
    EXPECT_EQ(std::string(r.name), "u" + std::to_string(i));
    EXPECT_EQ(r.groupId, i % 7);
    EXPECT_EQ(r.gameServerId, i % 13);
  }
  // A filter still picks the right subset out of the large table.
  sink.ids.clear();
  client->EnumUsers(0, 0, 3, 0, 0);
  std::size_t inGroup3 = 0;
  for (uint32_t i = 1; i <= kUsers; ++i) inGroup3 += i % 7 == 3;
  EXPECT_EQ(sink.ids.size(), inGroup3);

  EXPECT_TRUE(client->Close());
  EXPECT_TRUE(server.WaitPeerClosed());
  UserRecord r{};
  EXPECT_FALSE(client->GetUser(idOf(1), &r));
  sink.ids.clear();
  client->EnumUsers(0, 0, 0, 0, 0);
  EXPECT_TRUE(sink.ids.empty());
}

// ---------------------------------------------------------------------------
// A server that stops reading.

// The most the kernel may hold of a connection's unsent and unread bytes:
// the sender's buffer can grow to tcp_wmem's maximum, the receiver (which
// has never read, so never grew its buffer) holds at most its initial one.
std::size_t KernelSlackBytes() {
  std::size_t wmem[3] = {0, 0, 4u << 20};
  std::size_t rmem[3] = {0, 128u << 10, 0};
  std::ifstream w("/proc/sys/net/ipv4/tcp_wmem");
  w >> wmem[0] >> wmem[1] >> wmem[2];
  std::ifstream r("/proc/sys/net/ipv4/tcp_rmem");
  r >> rmem[0] >> rmem[1] >> rmem[2];
  return wmem[2] + 2 * rmem[1];
}

std::size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

TEST(FaultClient, SendingToAServerThatDoesNotReadHitsTheBoundThenRecovers) {
  Session s;
  ASSERT_NO_FATAL_FAILURE(s.Up());
  const std::string text(255, 'q');
  const std::size_t len = request::kChatSize;
  const std::size_t bound = (Nimbo2::kSendQueueLimitBytes + KernelSlackBytes()) / len + 64;

  std::vector<uint32_t> accepted;  // the sequence numbers that went in
  uint32_t attempt = 0;
  while (attempt < bound && s.client->SendChatMessage(9, attempt, text.c_str(), 1, 2, 3)) {
    accepted.push_back(attempt++);
  }
  ASSERT_LT(attempt, bound) << "SendChatMessage never refused";
  EXPECT_GT((accepted.size() + 1) * len, Nimbo2::kSendQueueLimitBytes)
      << "refused before the queue's bound";

  // Keep pushing well past the bound: nothing more may be taken in (beyond
  // what the kernel may still drain into its buffers), and memory must not
  // follow the attempts.
  const std::size_t residentBefore = ResidentBytes();
  const uint32_t extra = 50000;  // 14 MB worth of messages
  for (uint32_t i = 0; i < extra; ++i) {
    ++attempt;
    if (s.client->SendChatMessage(9, attempt, text.c_str(), 1, 2, 3)) accepted.push_back(attempt);
  }
  EXPECT_LE(accepted.size(), bound) << "accepted more than the queue and the kernel can hold";
  EXPECT_LT(ResidentBytes(), residentBefore + (8u << 20)) << "memory grows with refused sends";

  // The server reads again: every accepted message arrives whole, in order.
  Bytes got;
  ASSERT_TRUE(s.server.Read(accepted.size() * len, &got, 30s));
  for (std::size_t i = 0; i < accepted.size(); ++i) {
    const uint8_t* m = got.data() + i * len;
    const uint32_t value = m[8] | (m[9] << 8) | (m[10] << 16) | (static_cast<uint32_t>(m[11]) << 24);
    ASSERT_EQ((m[0] | (m[1] << 8)) & 0x7FFF, static_cast<int>(len)) << "message " << i;
    ASSERT_EQ(m[3], 73) << "message " << i;
    ASSERT_EQ(value, accepted[i]) << "message " << i << " lost or out of order";
  }
  // With the queue written out, sending works again.
  ASSERT_TRUE(s.client->SendChatMessage(9, 0xABCDEF, text.c_str(), 1, 2, 3));
  Bytes after;
  ASSERT_TRUE(s.server.Read(len, &after));
  EXPECT_EQ(after[8], 0xEF);
  EXPECT_EQ(after[10], 0xAB);
  EXPECT_EQ(s.sink.CountOf("OnClose"), 0);
}

}  // namespace
}  // namespace kelvo
