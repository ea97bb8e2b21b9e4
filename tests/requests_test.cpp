// Outbound requests: the exact bytes of every request, the argument checks,
// the effects that happen before the send, and the socket client's refusal.
//
// Expected messages are built here byte by byte, independently of the
// client's layout constants and writer.
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/recording_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using test::Bytes;
using test::FakeClient;
using test::Msg;
using test::RecordingSink;

// A request of `size` bytes, all zero but its header: length, then category 11
// with the third header flag set (0x2C | 0x02), then the id.
Bytes Head(std::size_t size, uint8_t id) {
  Bytes b(size, 0);
  b[0] = static_cast<uint8_t>(size);
  b[1] = static_cast<uint8_t>(size >> 8);
  b[2] = 0x2E;
  b[3] = id;
  return b;
}
void Put16(Bytes& b, std::size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutRaw(Bytes& b, std::size_t at, const std::string& s) {
  std::memcpy(b.data() + at, s.data(), s.size());
}

// A text of `n` bytes with no terminator, in a heap block of exactly `n`
// bytes, so that reading one byte past it is caught under AddressSanitizer.
std::unique_ptr<char[]> Unterminated(std::size_t n, char fill) {
  std::unique_ptr<char[]> p(new char[n]);
  std::memset(p.get(), fill, n);
  return p;
}

// Bytes 0x10, 0x11, ... of length n: each position is recognisable.
std::string Ramp(std::size_t n, uint8_t first) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(first + i);
  return s;
}

// ---------------------------------------------------------------------------
// Accepted requests: one message of the exact expected bytes.

struct SentRow {
  const char* name;
  std::function<bool(ImServerClient&)> call;
  std::function<Bytes()> expected;
};

std::vector<SentRow> SentRows() {
  const std::string password = Ramp(16, 0x10);
  const std::string extra = Ramp(33, 0x40);
  return {
      {"Login",
       [=](ImServerClient& c) {
         return c.Login(0x01020304, reinterpret_cast<const uint8_t*>(password.data()),
                        reinterpret_cast<const uint8_t*>(extra.data()));
       },
       [=] {
         Bytes b = Head(58, 13);
         Put32(b, 4, 0x01020304);
         b[8] = 1;
         PutRaw(b, 9, password);
         PutRaw(b, 25, extra);
         return b;
       }},
      {"LoginWithoutExtraBlockSendsZeros",
       [=](ImServerClient& c) {
         return c.Login(7, reinterpret_cast<const uint8_t*>(password.data()), nullptr);
       },
       [=] {
         Bytes b = Head(58, 13);
         Put32(b, 4, 7);
         b[8] = 1;
         PutRaw(b, 9, password);
         return b;
       }},
      {"Logout", [](ImServerClient& c) { return c.Logout(0xA1B2C3D4); },
       [] {
         Bytes b = Head(8, 2);
         Put32(b, 4, 0xA1B2C3D4);
         return b;
       }},
      {"RemoveUser", [](ImServerClient& c) { return c.RemoveUser(0x80000001); },
       [] {
         Bytes b = Head(8, 4);
         Put32(b, 4, 0x80000001);
         return b;
       }},
      {"DeleteGroup", [](ImServerClient& c) { return c.DeleteGroup(65535); },
       [] {
         Bytes b = Head(8, 6);
         Put32(b, 4, 65535);
         return b;
       }},
      {"AddUserSwapsSecondAndThird", [](ImServerClient& c) { return c.AddUser(1, 2, 3); },
       [] {
         Bytes b = Head(16, 3);
         Put32(b, 4, 1);
         Put32(b, 8, 3);
         Put32(b, 12, 2);
         return b;
       }},
      {"MoveUserKeepsOrder", [](ImServerClient& c) { return c.MoveUser(1, 2, 3); },
       [] {
         Bytes b = Head(16, 8);
         Put32(b, 4, 1);
         Put32(b, 8, 2);
         Put32(b, 12, 3);
         return b;
       }},
      {"AddGroupOneByteName", [](ImServerClient& c) { return c.AddGroup(7, 8, "x"); },
       [] {
         Bytes b = Head(76, 5);
         Put32(b, 4, 7);
         Put32(b, 8, 8);
         b[12] = 'x';
         return b;
       }},
      {"AddGroup63ByteNameKeepsTerminator",
       [](ImServerClient& c) { return c.AddGroup(0xFFFFFFFF, 0, std::string(63, 'g').c_str()); },
       [] {
         Bytes b = Head(76, 5);
         Put32(b, 4, 0xFFFFFFFF);
         PutRaw(b, 12, std::string(63, 'g'));  // byte 75 stays 0
         return b;
       }},
      {"RenameGroup70ByteNameCutTo64",
       [](ImServerClient& c) { return c.RenameGroup(9, Ramp(70, 0x20).c_str()); },
       [] {
         Bytes b = Head(72, 7);
         Put32(b, 4, 9);
         PutRaw(b, 8, Ramp(64, 0x20));  // fills the field: no terminator
         return b;
       }},
      {"RenameGroupUnterminated64Bytes",
       [](ImServerClient& c) {
         auto name = Unterminated(64, 'r');
         return c.RenameGroup(9, name.get());
       },
       [] {
         Bytes b = Head(72, 7);
         Put32(b, 4, 9);
         PutRaw(b, 8, std::string(64, 'r'));
         return b;
       }},
      {"RenameGroupEmptyName", [](ImServerClient& c) { return c.RenameGroup(3, ""); },
       [] {
         Bytes b = Head(72, 7);
         Put32(b, 4, 3);
         return b;
       }},
      {"Chat255ByteText",
       [](ImServerClient& c) {
         return c.SendChatMessage(0x11223344, 0x55667788, std::string(255, 'c').c_str(), 0xA1,
                                  0xB2, 0xC3);
       },
       [] {
         Bytes b = Head(279, 73);
         Put32(b, 4, 0x11223344);
         Put32(b, 8, 0x55667788);
         b[13] = 0xA1;
         b[14] = 0xB2;
         b[15] = 0xC3;
         PutRaw(b, 23, std::string(255, 'c'));  // terminator at 278
         return b;
       }},
      {"ChatGbkText",
       [](ImServerClient& c) {
         return c.SendChatMessage(5, 0, test::Gbk("你好").c_str(), 1, 2, 3);
       },
       [] {
         Bytes b = Head(279, 73);
         Put32(b, 4, 5);
         b[13] = 1;
         b[14] = 2;
         b[15] = 3;
         PutRaw(b, 23, test::Gbk("你好"));
         return b;
       }},
      {"EnterGameServer", [](ImServerClient& c) { return c.EnterGameServer(0x1234); },
       [] {
         Bytes b = Head(7, 12);
         b[4] = 1;
         Put16(b, 5, 0x1234);
         return b;
       }},
      {"LeaveGameServerCarriesTheId", [](ImServerClient& c) { return c.LeaveGameServer(5); },
       [] {
         Bytes b = Head(7, 12);
         Put16(b, 5, 5);
         return b;
       }},
      {"SearchUserNullName", [](ImServerClient& c) { return c.SearchUser(1, 2, nullptr); },
       [] {
         Bytes b = Head(46, 10);
         Put32(b, 4, 1);
         Put32(b, 8, 2);
         return b;  // flag 0, name all zero
       }},
      {"SearchUserEmptyName", [](ImServerClient& c) { return c.SearchUser(1, 2, ""); },
       [] {
         Bytes b = Head(46, 10);
         Put32(b, 4, 1);
         Put32(b, 8, 2);
         Put16(b, 12, 1);
         return b;
       }},
      {"SearchUser31ByteName",
       [](ImServerClient& c) { return c.SearchUser(3, 4, Ramp(31, 0x41).c_str()); },
       [] {
         Bytes b = Head(46, 10);
         Put32(b, 4, 3);
         Put32(b, 8, 4);
         Put16(b, 12, 1);
         PutRaw(b, 14, Ramp(31, 0x41));  // terminator at 45
         return b;
       }},
  };
}

class SentRequestTest : public ::testing::TestWithParam<SentRow> {};

TEST_P(SentRequestTest, SendsExactlyTheExpectedMessageOnce) {
  const SentRow& row = GetParam();
  FakeClient fc;
  EXPECT_TRUE(row.call(*fc));
  const Bytes expected = row.expected();
  ASSERT_EQ(fc.socket->sent.size(), 1u);
  EXPECT_EQ(fc.socket->sent[0], expected);
  EXPECT_EQ(fc.socket->calls, "SendMsg(null," + std::to_string(expected.size()) + ")\n");
}

TEST_P(SentRequestTest, RefusedSendReturnsFalseAfterOfferingTheMessage) {
  const SentRow& row = GetParam();
  FakeClient fc;
  fc.socket->sendResult = false;
  EXPECT_FALSE(row.call(*fc));
  ASSERT_EQ(fc.socket->sent.size(), 1u);
  EXPECT_EQ(fc.socket->sent[0], row.expected());
}

INSTANTIATE_TEST_SUITE_P(Requests, SentRequestTest, ::testing::ValuesIn(SentRows()),
                         [](const ::testing::TestParamInfo<SentRow>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Refused arguments: false, nothing offered to the socket client.

struct RefusedRow {
  const char* name;
  std::function<bool(ImServerClient&)> call;
};

const uint8_t kBlock[33] = {1, 2, 3};

std::vector<RefusedRow> RefusedRows() {
  return {
      {"LoginNullPassword", [](ImServerClient& c) { return c.Login(1, nullptr, kBlock); }},
      {"LoginNullPasswordAndExtra", [](ImServerClient& c) { return c.Login(1, nullptr, nullptr); }},
      {"AddGroupNullName", [](ImServerClient& c) { return c.AddGroup(1, 2, nullptr); }},
      {"AddGroupEmptyName", [](ImServerClient& c) { return c.AddGroup(1, 2, ""); }},
      {"AddGroup64ByteName",
       [](ImServerClient& c) { return c.AddGroup(1, 2, std::string(64, 'g').c_str()); }},
      {"AddGroupUnterminated64Bytes",
       [](ImServerClient& c) {
         auto name = Unterminated(64, 'g');
         return c.AddGroup(1, 2, name.get());
       }},
      {"RenameGroupNullName", [](ImServerClient& c) { return c.RenameGroup(1, nullptr); }},
      {"ChatNullText", [](ImServerClient& c) { return c.SendChatMessage(1, 2, nullptr, 0, 0, 0); }},
      {"ChatEmptyText", [](ImServerClient& c) { return c.SendChatMessage(1, 2, "", 0, 0, 0); }},
      {"Chat256ByteText",
       [](ImServerClient& c) {
         return c.SendChatMessage(1, 2, std::string(256, 'c').c_str(), 0, 0, 0);
       }},
      {"ChatUnterminated256Bytes",
       [](ImServerClient& c) {
         auto text = Unterminated(256, 'c');
         return c.SendChatMessage(1, 2, text.get(), 0, 0, 0);
       }},
      {"SearchUser32ByteName",
       [](ImServerClient& c) { return c.SearchUser(1, 2, std::string(32, 's').c_str()); }},
      {"SearchUserUnterminated32Bytes",
       [](ImServerClient& c) {
         auto name = Unterminated(32, 's');
         return c.SearchUser(1, 2, name.get());
       }},
      {"ReplyToNoPendingRequest", [](ImServerClient& c) { return c.ReplyAddRequest(77, 0, true); }},
  };
}

class RefusedRequestTest : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(RefusedRequestTest, ReturnsFalseAndSendsNothing) {
  FakeClient fc;
  EXPECT_FALSE(GetParam().call(*fc));
  EXPECT_EQ(fc.socket->calls, "");
  EXPECT_TRUE(fc.socket->sent.empty());
}

INSTANTIATE_TEST_SUITE_P(Requests, RefusedRequestTest, ::testing::ValuesIn(RefusedRows()),
                         [](const ::testing::TestParamInfo<RefusedRow>& info) {
                           return std::string(info.param.name);
                         });

// Without a socket client every request fails before any effect.
TEST(RequestWithoutSocketTest, EveryRequestReturnsFalseAndChangesNothing) {
  ImServerClient client([](Nimbo2::MsgWorker*) -> Nimbo2::TCPClient_Socks5* { return nullptr; });
  for (const SentRow& row : SentRows()) {
    EXPECT_FALSE(row.call(client)) << row.name;
  }
  EXPECT_EQ(client.myInfo().gameServerId, 0u);  // EnterGameServer(0x1234) had no effect
}

// ---------------------------------------------------------------------------
// Game server: MyInfo follows the host's call whatever the send returns.

struct GameServerRow {
  const char* name;
  bool enter;
  uint16_t id;
  bool sendResult;
  uint32_t storedBefore;
  uint32_t storedAfter;
};

class GameServerTest : public ::testing::TestWithParam<GameServerRow> {};

TEST_P(GameServerTest, StoresBeforeSendingAndKeepsItOnRefusal) {
  const GameServerRow& row = GetParam();
  FakeClient fc;
  if (row.storedBefore != 0) {
    ASSERT_TRUE(fc->EnterGameServer(static_cast<uint16_t>(row.storedBefore)));
    fc.socket->sent.clear();
  }
  fc.socket->sendResult = row.sendResult;
  const bool result = row.enter ? fc->EnterGameServer(row.id) : fc->LeaveGameServer(row.id);
  EXPECT_EQ(result, row.sendResult);
  EXPECT_EQ(fc->myInfo().gameServerId, row.storedAfter);
  EXPECT_EQ(fc->GetMyInfo(), nullptr);  // still no own data: only the field changed

  Bytes expected = Head(7, 12);
  expected[4] = row.enter ? 1 : 0;
  Put16(expected, 5, row.id);
  ASSERT_EQ(fc.socket->sent.size(), 1u);
  EXPECT_EQ(fc.socket->sent[0], expected);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, GameServerTest,
    ::testing::Values(GameServerRow{"EnterSent", true, 5, true, 0, 5},
                      GameServerRow{"EnterRefused", true, 5, false, 0, 5},
                      GameServerRow{"EnterReplacesOld", true, 0xFFFF, true, 9, 0xFFFF},
                      GameServerRow{"LeaveSendsIdClearsField", false, 5, true, 9, 0},
                      GameServerRow{"LeaveRefused", false, 5, false, 9, 0},
                      GameServerRow{"LeaveOtherServer", false, 7, true, 9, 0}),
    [](const ::testing::TestParamInfo<GameServerRow>& info) {
      return std::string(info.param.name);
    });

// ---------------------------------------------------------------------------
// Replies to pending add requests.

// An add request from `userId`, as the server sends it (60 bytes).
Bytes AddRequestFrom(uint32_t userId) {
  return Msg(64).U32(userId).U8(0).Zeros(1).U16(2).U16(3).U16(4).U32(0).U8(0).Zeros(1)
      .U16(5).U8(6).U8(1).Text("asker", 32).Zeros(2).Build();
}

// Passes `acceptByte` as the bool's storage, as a host compiled elsewhere may.
// The bool is only copied, never tested, so the sanitizer's check on loading
// a bool is switched off for this one call.
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 8)
__attribute__((no_sanitize("bool")))
#endif
bool ReplyWithAcceptByte(IImClient& client, uint32_t userId, uint32_t value, uint8_t acceptByte) {
  bool accept;
  std::memcpy(&accept, &acceptByte, sizeof accept);
  return client.ReplyAddRequest(userId, value, accept);
}

struct ReplyRow {
  const char* name;
  uint8_t acceptByte;
  bool sendResult;
  uint32_t sentAccept;
};

class ReplyAddRequestTest : public ::testing::TestWithParam<ReplyRow> {};

TEST_P(ReplyAddRequestTest, ErasesThePendingRequestThenSendsOnce) {
  const ReplyRow& row = GetParam();
  FakeClient fc;
  RecordingSink sink;
  fc->SetSink(&sink);
  ASSERT_EQ(test::Deliver(*fc, AddRequestFrom(77)), 0u);
  ASSERT_EQ(fc->requests().count(77u), 1u) << "add-request handler did not store the request";
  ASSERT_TRUE(test::Deliver(*fc, AddRequestFrom(78)) == 0u && fc->requests().count(78u) == 1u);
  sink.Take();

  fc.socket->sendResult = row.sendResult;
  EXPECT_EQ(ReplyWithAcceptByte(*fc, 77, 0xCAFEBABE, row.acceptByte), row.sendResult);

  Bytes expected = Head(16, 11);
  Put32(expected, 4, 77);
  Put32(expected, 8, 0xCAFEBABE);
  Put32(expected, 12, row.sentAccept);
  ASSERT_EQ(fc.socket->sent.size(), 1u);
  EXPECT_EQ(fc.socket->sent[0], expected);
  EXPECT_EQ(fc->requests().count(77u), 0u);  // gone whatever the send returned
  EXPECT_EQ(fc->requests().count(78u), 1u);  // the other request is untouched
  EXPECT_EQ(sink.Take(), "");                // the host hears nothing

  // Answered once only.
  fc.socket->sendResult = true;
  EXPECT_FALSE(fc->ReplyAddRequest(77, 0, true));
  EXPECT_EQ(fc.socket->sent.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Requests, ReplyAddRequestTest,
                         ::testing::Values(ReplyRow{"Accept", 1, true, 1},
                                           ReplyRow{"Refuse", 0, true, 0},
                                           ReplyRow{"ForeignTrueByte2", 2, true, 0},
                                           ReplyRow{"ForeignTrueByteFF", 0xFF, true, 0},
                                           ReplyRow{"AcceptButSendRefused", 1, false, 1}),
                         [](const ::testing::TestParamInfo<ReplyRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(ReplyAddRequestTest, UnknownUserLeavesPendingRequestsAlone) {
  FakeClient fc;
  ASSERT_EQ(test::Deliver(*fc, AddRequestFrom(77)), 0u);
  ASSERT_EQ(fc->requests().count(77u), 1u);
  EXPECT_FALSE(fc->ReplyAddRequest(78, 0, true));
  EXPECT_EQ(fc->requests().size(), 1u);
  EXPECT_EQ(fc->requests().count(77u), 1u);
  EXPECT_TRUE(fc.socket->sent.empty());
}

// ---------------------------------------------------------------------------
// Request_friend: no longer supported; only the host's log hears of it.

TEST(RequestFriendTest, LogsTheFixedTextOnceWithASinkAndSendsNothing) {
  FakeClient fc;
  RecordingSink sink;
  fc->SetSink(&sink);
  sink.Take();
  fc->Request_friend(0xFFFFFFFF);
  ASSERT_EQ(sink.logTexts.size(), 1u);
  EXPECT_EQ(sink.logTexts[0], test::Gbk("Request_friend 接口目前不支持了!add by quarn"));
  EXPECT_EQ(sink.Take().rfind("OnLog(", 0), 0u);
  EXPECT_EQ(fc.socket->calls, "");
}

TEST(RequestFriendTest, DoesNothingWithoutASink) {
  FakeClient fc;
  fc->Request_friend(1);
  EXPECT_EQ(fc.socket->calls, "");
  EXPECT_TRUE(fc->requests().empty());
}

}  // namespace
}  // namespace kelvo
