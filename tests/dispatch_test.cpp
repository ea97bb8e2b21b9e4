// The inbound dispatcher: category test, undefined ids and every size rule's
// boundaries, each with its exact text.
#include <algorithm>
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

constexpr uint32_t kFail = 0x80004005;

std::string SizeText(const std::string& name) {
  return "ImServerClient::HandleMessage() msg size error (" + name + ")!\n";
}

// One row per id: the lengths the rule admits and the text for the others.
struct SizeRule {
  uint8_t id;
  uint16_t lo, hi;
  std::string text;
};

const std::vector<SizeRule>& Rules() {
  static const std::vector<SizeRule> rules = {
      {9, 4, 271, SizeText("IM_US_MSG_SEND_MESSAGE")},
      {45, 11, 11, SizeText("IM_MSG_ID_SERVER_INFO")},
      {46, 4, 1440, SizeText("IM_MSG_ID_MY_GROUP_LIST")},
      {47, 4, 1440, SizeText("IM_MSG_MY_USER_LIST")},
      {48, 4, 56, SizeText("IM_MSG_ID_MY_USERDATA")},
      {49, 4, 1440, SizeText("IM_MSG_ID_MY_GROUP_LIST")},
      {50, 4, 1440, SizeText("IM_MSG_MY_USER_LIST")},
      {51, 8, 8, SizeText("IM_MSG_ID_MY_LOGIN_OK")},
      {52, 262, 262, SizeText("IM_MSG_ID_LOGIN_FAIL")},
      {53, 10, 10, SizeText("IM_MSG_ID_USER_LOGOUT")},
      {54, 4, 57, SizeText("IM_MSG_ID_ADD_USER_RESULT")},
      {55, 17, 17, SizeText("IM_MSG_ID_REMOVE_USER_RESULT")},
      {56, 11, 11, SizeText("IM_MSG_ID_IN_OUT_GS_NOTIFY")},
      {58, 4, 79, SizeText("IM_MSG_ID_ADD_GROUP_RESULT")},
      {59, 79, 79, SizeText("IM_MSG_ID_UPDATE_GROUP_RESULT")},
      {60, 12, 12, SizeText("IM_MSG_ID_DEL_GROUP_RESULT")},
      {61, 13, 13, SizeText("IM_MSG_ID_ONLINE_STATE_NOTIFY")},
      {62, 4, 268, SizeText("IM_MSG_ID_SYSTEM_MESSAGE")},
      {63, 4, 268, SizeText("IM_MSG_ID_INFO_MSG")},
      {64, 60, 60, SizeText("IM_MSG_ID_ADD_USER_REQUEST")},
      {65, 4, 53, SizeText("IM_MSG_ID_GM_ONLINE_NOTIFY")},
      {66, 74, 74, SizeText("IM_MSG_ID_MODIFY_GROUP_RESULT")},
      {67, 16, 16, SizeText("IM_MSG_ID_MOVE_USER_RESULT")},
      {68, 23, 279, SizeText("IM_US_MSG_SEND_MESSAGE")},
      {70, 68, 324, SizeText("IM_MSG_ID_OFFLINE_MESSAGE_2")},
      {71, 4, 20, SizeText("IM_MSG_ID_SEARCH_USER_RES")},
      {72, 4, 1444, "HandleMessage() Invalid data size(IM_MSG_ID_SEARCH_USER_RES_LIST)!"},
      {73, 23, 279, SizeText("IM_MSG_ID_USER_CHAT")},
  };
  return rules;
}

// A message of `length` bytes whose payload is all zeros: every handler
// treats zeros as "nothing to do" or as an id it does not know, so no sink
// call other than a handler's own refusal text can follow a dispatch.
Bytes Sized(uint8_t id, uint16_t length) {
  return Msg(id).PadTo(length < 4 ? 4 : length).LengthWord(length).Build();
}

struct Fixture {
  FakeClient fc;
  RecordingSink sink;
  Fixture() {
    fc->SetSink(&sink);
    sink.Take();
  }
};

TEST(DispatchTest, EveryRuleAdmitsItsBoundsAndRejectsOneBeyondWithItsText) {
  for (const SizeRule& rule : Rules()) {
    std::vector<uint16_t> accepted = {rule.lo, rule.hi};
    std::vector<uint16_t> rejected = {static_cast<uint16_t>(rule.hi + 1)};
    if (rule.lo > 0) rejected.push_back(static_cast<uint16_t>(rule.lo - 1));
    for (uint16_t length : accepted) {
      Fixture f;
      EXPECT_NE(test::Deliver(*f.fc, Sized(rule.id, length)), kFail)
          << "id " << int{rule.id} << " L " << length;
      EXPECT_EQ(f.sink.log.find("HandleMessage()"), std::string::npos)
          << "id " << int{rule.id} << " L " << length << ": " << f.sink.log;
    }
    for (uint16_t length : rejected) {
      Fixture f;
      const Bytes message = Sized(rule.id, length);
      Bytes after;
      EXPECT_EQ(test::Deliver(*f.fc, message, &after), kFail)
          << "id " << int{rule.id} << " L " << length;
      ASSERT_EQ(f.sink.logTexts.size(), 1u) << "id " << int{rule.id} << " L " << length;
      EXPECT_EQ(f.sink.logTexts[0], rule.text);
      EXPECT_EQ(f.sink.log, "OnLog('" + test::Escape(rule.text.data(), rule.text.size()) + "')\n");
      EXPECT_EQ(after, message) << "a rejected message is not written to";
    }
  }
}

TEST(DispatchTest, UndefinedIdsAreReportedWithTheirNumber) {
  std::vector<int> defined;
  for (const SizeRule& rule : Rules()) defined.push_back(rule.id);
  for (int id = 0; id < 256; ++id) {
    if (std::find(defined.begin(), defined.end(), id) != defined.end()) continue;
    Fixture f;
    EXPECT_EQ(test::Deliver(*f.fc, Msg(static_cast<uint8_t>(id)).PadTo(8).Build()), kFail);
    EXPECT_EQ(f.sink.log,
              "OnLog('ImServerClient::HandleMessage() undefine msg ID=" + std::to_string(id) + "!')\n");
  }
}

TEST(DispatchTest, CategoryIsTestedOnBitsTwoToSevenOnly) {
  struct Row {
    uint8_t byte2;
    bool dispatched;
  };
  for (const Row row : {Row{0x2C, true}, Row{0x2F, true}, Row{0x2D, true}, Row{0x30, false},
                        Row{0x28, false}, Row{0x00, false}, Row{0xEC, false}}) {
    Fixture f;
    // Id 57 is undefined: a dispatched message yields the undefined-id text.
    const uint32_t result = test::Deliver(*f.fc, Msg(57, row.byte2).PadTo(8).Build());
    EXPECT_EQ(result, row.dispatched ? kFail : 0u) << int{row.byte2};
    EXPECT_EQ(f.sink.log.empty(), !row.dispatched) << int{row.byte2};
  }
}

TEST(DispatchTest, BitFifteenOfTheLengthWordIsIgnored) {
  Fixture f;
  // Id 51 wants exactly 8; 0x8008 is 8 with the top bit set.
  EXPECT_EQ(test::Deliver(*f.fc, Msg(51).PadTo(8).LengthWord(0x8008).Build()), 0u);
  EXPECT_EQ(f.sink.log.find("size error"), std::string::npos) << f.sink.log;
}

TEST(DispatchTest, RejectionsReturnFailWithoutASinkToo) {
  FakeClient fc;
  EXPECT_EQ(test::Deliver(*fc, Msg(57).PadTo(8).Build()), kFail);
  EXPECT_EQ(test::Deliver(*fc, Sized(51, 9)), kFail);
  EXPECT_EQ(test::Deliver(*fc, Msg(51).PadTo(8).LengthWord(0x0130).Build()), kFail);
}

TEST(DispatchTest, AHeaderLengthBeyondTheDeliveredBytesIsRejected) {
  // The library never does this, but a length word that claims more than was
  // handed over must not send a handler past the buffer.
  Fixture f;
  EXPECT_EQ(test::Deliver(*f.fc, Msg(9).PadTo(20).LengthWord(200).Build()), kFail);
  EXPECT_EQ(f.sink.logTexts.size(), 1u);
}

}  // namespace
}  // namespace kelvo
