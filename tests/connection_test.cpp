// The client's side of the connection, against a recording socket stand-in.
#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "support/recording_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using test::FakeClient;
using test::Msg;
using test::RecordingSink;

ServerAddress Address(uint32_t ip, uint16_t port, uint32_t proxyIp = 0, uint16_t proxyPort = 0,
                      uint32_t proxyParam = 0) {
  ServerAddress a{};
  a.serverIp = ip;
  a.serverPort = port;
  a.proxyIp = proxyIp;
  a.proxyPort = proxyPort;
  a.proxyParam = proxyParam;
  return a;
}

TEST(ConnectionTest, DirectConnectPassesTheAddressInNetworkOrderAndNoProxy) {
  FakeClient fc;
  const ServerAddress a = Address(0x7F000001, 8000);
  EXPECT_TRUE(fc->Connect(&a));
  EXPECT_EQ(fc.socket->calls, "Connect(2,1f 40,7f 00 00 01)\n");
}

TEST(ConnectionTest, ProxyIsSetBeforeConnectAndStaysForLaterAttempts) {
  FakeClient fc;
  const ServerAddress viaProxy = Address(0x0A000002, 1, 0x7F000001, 1080, 77);
  fc.socket->connectResult = false;  // the library's answer comes back unchanged
  EXPECT_FALSE(fc->Connect(&viaProxy));
  const ServerAddress direct = Address(0x0A000002, 2);
  fc.socket->connectResult = true;
  EXPECT_TRUE(fc->Connect(&direct));
  EXPECT_EQ(fc.socket->calls,
            "SetProxyServer(2130706433,1080,77)\n"
            "Connect(2,00 01,0a 00 00 02)\n"
            "Connect(2,00 02,0a 00 00 02)\n");
}

TEST(ConnectionTest, ConnectRefusesANullAddress) {
  FakeClient fc;
  EXPECT_FALSE(fc->Connect(nullptr));
  EXPECT_EQ(fc.socket->calls, "");
}

TEST(ConnectionTest, CloseClosesWithoutNotifyAndReturnsTheLibrarysResult) {
  FakeClient fc;
  RecordingSink sink;
  fc->SetSink(&sink);
  sink.Take();
  fc.socket->closeResult = false;
  EXPECT_FALSE(fc->Close());
  fc.socket->closeResult = true;
  EXPECT_TRUE(fc->Close());
  EXPECT_EQ(fc.socket->calls, "CloseSocket(false)\nCloseSocket(false)\n");
  EXPECT_EQ(sink.log, "");  // Close itself tells the sink nothing
}

// Fills every table and MyInfo through the server's own messages.
void FillTables(ImServerClient& client) {
  // Own user data: id 7, gm level 2.
  test::Deliver(client, Msg(48).U32(7).Zeros(10).U32(2).Zeros(2).Text("me", 32).Build());
  // One friend (entry of 22 bytes: fixed 17 + "amy" + terminator + 1).
  test::Deliver(client, Msg(47).U8(22).U32(100).Zeros(12).Raw("amy").Zeros(2).Build());
  // One group.
  test::Deliver(client, Msg(46).U8(12).U16(3).U16(0).U8(1).U16(0).Raw("grp").U8(0).Build());
  // One pending request.
  test::Deliver(client, Msg(64).U32(200).PadTo(60).Build());
  // One search result (entry of 18 bytes: fixed 14 + "bob" + terminator).
  test::Deliver(client, Msg(72).U8(18).U32(300).Zeros(9).Raw("bob").U8(0).Build());
}

void ExpectLoginDataEmptySearchKept(ImServerClient& client) {
  EXPECT_TRUE(client.users().empty());
  EXPECT_TRUE(client.groups().empty());
  EXPECT_TRUE(client.requests().empty());
  EXPECT_EQ(client.GetMyInfo(), nullptr);
  EXPECT_FALSE(client.IsGm());
  const UserRecord zero{};
  EXPECT_EQ(std::memcmp(&client.myInfo(), &zero, sizeof zero), 0);
  EXPECT_EQ(client.searchResults().size(), 1u);
}

TEST(ConnectionTest, FilledTablesAreReallyFilledByTheFixtureMessages) {
  // Guards the two tests below against passing on tables that were never
  // filled.
  FakeClient fc;
  FillTables(*fc);
  EXPECT_EQ(fc->users().size(), 1u);
  EXPECT_EQ(fc->groups().size(), 1u);
  EXPECT_EQ(fc->requests().size(), 1u);
  EXPECT_EQ(fc->searchResults().size(), 1u);
  ASSERT_NE(fc->GetMyInfo(), nullptr);
  EXPECT_TRUE(fc->IsGm());
}

TEST(ConnectionTest, CloseEmptiesTheLoginDataButKeepsSearchResults) {
  FakeClient fc;
  FillTables(*fc);
  fc->Close();
  ExpectLoginDataEmptySearchKept(*fc);
}

TEST(ConnectionTest, ClosedConnectionReportsFirstThenEmpties) {
  FakeClient fc;
  RecordingSink sink;
  fc->SetSink(&sink);
  FillTables(*fc);
  sink.Take();
  size_t usersSeenInCallback = 0;
  sink.onCall = [&](const std::string& name) {
    if (name == "OnClose") usersSeenInCallback = fc->users().size();
  };
  fc->OnConnectState(2);
  EXPECT_EQ(sink.log, "OnClose(0)\n");
  EXPECT_EQ(usersSeenInCallback, 1u);
  ExpectLoginDataEmptySearchKept(*fc);
}

TEST(ConnectionTest, ClosedConnectionWithoutASinkKeepsEverything) {
  FakeClient fc;
  FillTables(*fc);
  fc->OnConnectState(2);
  EXPECT_EQ(fc->users().size(), 1u);
  EXPECT_NE(fc->GetMyInfo(), nullptr);
}

}  // namespace
}  // namespace kelvo
