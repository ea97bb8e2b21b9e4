// The client object itself: factory, identity, sink attachment, lifetime and
// the re-entrant lock's deferred Release.
#include <cstring>
#include <string>

#include "gtest/gtest.h"
#include "kelvo/kelvo_core.h"
#include "support/recording_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using test::FakeClient;
using test::RecordingSink;

struct VersionRow {
  uint32_t version;
  bool accepted;
};

class FactoryVersionTest : public ::testing::TestWithParam<VersionRow> {};

TEST_P(FactoryVersionTest, AcceptsMajor1Minor1BuildAtMost1ForBothInterfaces) {
  const VersionRow row = GetParam();
  for (const GUID* iid : {&IID_IImClient, &IID_IImBase}) {
    void* p = CreateKelvoCore(iid, row.version);
    EXPECT_EQ(p != nullptr, row.accepted) << std::hex << row.version;
    if (p != nullptr) static_cast<IImClient*>(p)->Release();
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, FactoryVersionTest,
                         ::testing::Values(VersionRow{0x01010100, true}, VersionRow{0x01010000, true},
                                           VersionRow{0x010101FF, true}, VersionRow{0x01000100, false},
                                           VersionRow{0x01010200, false}, VersionRow{0x01020100, false},
                                           VersionRow{0x02010100, false}, VersionRow{0x00010100, false}));

TEST(FactoryTest, RefusesOtherIdentifiers) {
  GUID other = IID_IImClient;
  other.Data4[7] ^= 1;  // one byte off
  EXPECT_EQ(CreateKelvoCore(&other, IM_INTERFACE_VERSION), nullptr);
  EXPECT_EQ(CreateKelvoCore(&IID_IImClientSink, IM_INTERFACE_VERSION), nullptr);
}

TEST(ClientTest, QueryInterfaceReturnsTheSamePointerAndCountsNothing) {
  auto* client = static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->QueryInterface(IID_IImClient, IM_INTERFACE_VERSION), client);
  EXPECT_EQ(client->QueryInterface(IID_IImBase, 0x01010001), client);
  EXPECT_EQ(client->QueryInterface(IID_IImClientSink, IM_INTERFACE_VERSION), nullptr);
  EXPECT_EQ(client->QueryInterface(IID_IImClient, 0x01010200), nullptr);
  EXPECT_TRUE(client->IsValid());
  EXPECT_TRUE(client->Release());  // one Release ends it, however many queries
}

TEST(ClientTest, FreshClientHasNoOwnDataAndNoSink) {
  FakeClient fc;
  EXPECT_EQ(fc->GetMyInfo(), nullptr);
  EXPECT_FALSE(fc->IsGm());
  EXPECT_EQ(fc->sink(), nullptr);
  EXPECT_EQ(fc.socket->calls, "");  // construction opens nothing
}

TEST(ClientTest, SetSinkAsksForTheSinkInterfaceAndKeepsTheAnswer) {
  FakeClient fc;
  RecordingSink good;
  EXPECT_TRUE(fc->SetSink(&good));
  EXPECT_EQ(good.Take(), "QueryInterface(IID_IImClientSink,16843008)\n");
  EXPECT_EQ(fc->sink(), &good);

  // A host that refuses leaves no sink, and the old one hears nothing.
  RecordingSink refusing;
  refusing.refuseQuery = true;
  EXPECT_FALSE(fc->SetSink(&refusing));
  EXPECT_EQ(fc->sink(), nullptr);
  EXPECT_EQ(good.Take(), "");
  fc->OnConnectState(1);
  EXPECT_EQ(good.log, "");
  EXPECT_EQ(refusing.Take(), "QueryInterface(IID_IImClientSink,16843008)\n");
}

TEST(ClientTest, FormatLogFormatsOnlyWithASinkAndReturnsItsCode) {
  FakeClient fc;
  // Without a sink the format is never looked at: "%s" with no argument
  // would crash if it were.
  EXPECT_EQ(fc->FormatLog(0x1234, "%u %u", 1u, 2u), 0x1234u);
  RecordingSink sink;
  fc->SetSink(&sink);
  sink.Take();
  EXPECT_EQ(fc->FormatLog(7, "id=%u!", 4000000000u), 7u);
  EXPECT_EQ(sink.Take(), "OnLog('id=4000000000!')\n");
  // A text longer than the 512-byte buffer is cut, terminator included.
  const std::string longText(600, 'x');
  fc->FormatLog(0, "%s", longText.c_str());
  ASSERT_EQ(sink.logTexts.size(), 2u);
  EXPECT_EQ(sink.logTexts[1], std::string(511, 'x'));
}

TEST(ClientTest, DestructionClosesWithoutNotifyAndTellsTheSinkNothing) {
  bool destroyed = false;
  RecordingSink sink;
  {
    FakeClient fc;
    fc.socket->destroyed = &destroyed;
    fc->SetSink(&sink);
    sink.Take();
  }
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(sink.log, "");
}

TEST(ClientTest, ReleaseFromInsideACallbackIsDeferredToTheOutermostCall) {
  bool destroyed = false;
  RecordingSink sink;
  FakeClient fc;
  fc.socket->destroyed = &destroyed;
  fc->SetSink(&sink);
  sink.Take();
  ImServerClient* client = fc.client;
  fc.client = nullptr;  // the test releases it
  sink.onCall = [&](const std::string& name) {
    if (name == "OnClose") {
      client->Release();
      EXPECT_FALSE(destroyed) << "destroyed under the caller's feet";
      client->Release();  // a second Release inside is harmless
    }
  };
  // State 2: OnClose, then the tables are emptied on an object that must
  // still be alive; it goes when OnConnectState returns.
  client->OnConnectState(2);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(sink.log, "OnClose(0)\n");
}

TEST(ClientTest, ConnectionStatesReachTheSinkOnlyAsDefined) {
  struct Row {
    uint32_t state;
    const char* expected;
  };
  const Row rows[] = {{0, "OnConnect(0)\n"}, {1, "OnConnect(1)\n"}, {2, "OnClose(0)\n"},
                      {3, ""}, {0xFFFFFFFF, ""}};
  for (const Row& row : rows) {
    FakeClient fc;
    RecordingSink sink;
    fc->OnConnectState(row.state);  // no sink: nothing at all
    fc->SetSink(&sink);
    sink.Take();
    fc->OnConnectState(row.state);
    EXPECT_EQ(sink.Take(), row.expected) << row.state;
  }
}

}  // namespace
}  // namespace kelvo
