// Chat, offline, system and info messages (ids 9, 62, 63, 68, 70, 73): kind
// codes, the order and width of every argument, texts ended at the message's
// last byte, and messages too short to carry a text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/recording_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace test {
namespace {

struct Outcome {
  std::string log;  // sink calls
  Bytes after;      // the message once the handler returned
};

Outcome Handle(const Bytes& message, bool attach = true) {
  FakeClient fc;
  RecordingSink sink;
  if (attach) {
    fc->SetSink(&sink);
    sink.Take();
  }
  Outcome out;
  EXPECT_EQ(0u, Deliver(*fc, message, &out.after));
  out.log = sink.Take();
  return out;
}

Bytes WithLastByteZero(Bytes b) {
  b.back() = 0;
  return b;
}

const std::string kBlock = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijkl";  // 38 bytes

TEST(MessageHandlers, SystemMessageKindFollowsTheType) {
  struct Row {
    uint32_t type;
    unsigned kind;
  };
  const std::vector<Row> rows = {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 1},
                                 {0x101, 1},  // the whole word counts, not its low byte
                                 {0xFFFFFFFF, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type);
    const Outcome out = Handle(Msg(62).U32(row.type).U8(7).U8(8).U8(9).U8(10).Raw("n").U8(0).Build());
    EXPECT_EQ("OnChatMessage(" + std::to_string(row.kind) + ",10,'n',7,8,9)\n", out.log);
  }
}

TEST(MessageHandlers, InfoMessageKindFollowsTheLowestFlagBitWithBit7OverAll) {
  struct Row {
    uint32_t flags;
    unsigned kind;
  };
  const std::vector<Row> rows = {
      {0x00, 1},  {0x01, 6},  {0x02, 7},  {0x03, 6},  {0x04, 8},  {0x08, 9},
      {0x10, 10}, {0x20, 11}, {0x60, 11}, {0x40, 12}, {0x80, 13}, {0x81, 13},
      {0xFF, 13}, {0x100, 1}, {0xFFFFFF00, 1}, {0x8040, 12}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.flags);
    // Whatever the flags, the three trailing values are 0.
    const Outcome out = Handle(Msg(63).U32(row.flags).U32(0x80000003).Raw("i").U8(0).Build());
    EXPECT_EQ("OnChatMessage(" + std::to_string(row.kind) + ",2147483651,'i',0,0,0)\n", out.log);
  }
}

TEST(MessageHandlers, EveryFieldReachesItsArgument) {
  struct Row {
    const char* name;
    Bytes message;
    std::string log;
  };
  // Bytes the client does not read are 0xEE; 8-bit values above 127 show a
  // sign-extension fault.
  const std::vector<Row> rows = {
      {"id 9",
       Msg(9).U32(0xFEDCBA98).Fill(4, 0xEE).U8(0xF1).U8(0x02).U8(0x83).Raw("hi").U8(0).Build(),
       "OnChatMessage(0,4275878552,'hi',241,2,131)\n"},
      {"id 73",
       Msg(73).U32(0xFEDCBA98).Fill(5, 0xEE).U8(0xF1).U8(0x02).U8(0x83).Fill(7, 0xEE)
           .Raw("yo").U8(0).Build(),
       "OnChatMessage(0,4275878552,'yo',241,2,131)\n"},
      {"id 68",
       Msg(68).U32(0xFEDCBA98).Fill(4, 0xEE).U8(0xF1).U8(0x02).U8(0x83).F64(-6.02214076e23)
           .Raw("ex").U8(0).Build(),
       "OnChatMessageEx(0,4275878552,-6.0221407599999999e+23,'ex',241,2,131)\n"},
      {"id 70",
       Msg(70).U32(0xFEDCBA98).Raw(kBlock).U8(0xF1).U8(0x02).U8(0x83).Fill(7, 0xEE)
           .F64(0.1).U32(0x80000001).Raw("off").U8(0).Build(),
       "OnOfflineMessage(0,4275878552,0.10000000000000001,'off',241,2,131,[" + kBlock +
           "],2147483649)\n"},
      {"id 62",
       Msg(62).U32(3).U8(0xF1).U8(0x02).U8(0x83).U8(0xFF).Raw("sys").U8(0).Build(),
       "OnChatMessage(4,255,'sys',241,2,131)\n"},
      {"id 63", Msg(63).U32(0xEEEEEE02).U32(0xFEDCBA98).Raw("info").U8(0).Build(),
       "OnChatMessage(7,4275878552,'info',0,0,0)\n"},
      {"gbk text", Msg(73).U32(1).Zeros(15).Raw(Gbk("你好，世界")).U8(0).Build(),
       "OnChatMessage(0,1," + Escape(Gbk("你好，世界").c_str()) + ",0,0,0)\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.log, Handle(row.message).log);
  }
}

TEST(MessageHandlers, FullLengthTextLosesItsLastByteWithOrWithoutSink) {
  const std::string x256(256, 'x');
  const std::string x255 = Escape(std::string(255, 'x').c_str());
  struct Row {
    const char* name;
    Bytes message;  // the longest the dispatcher admits, text without terminator
    std::string log;
  };
  const std::vector<Row> rows = {
      {"id 9", Msg(9).U32(1).Zeros(4).U8(2).U8(3).U8(4).Raw(x256).Build(),
       "OnChatMessage(0,1," + x255 + ",2,3,4)\n"},
      {"id 73", Msg(73).U32(1).Zeros(5).U8(2).U8(3).U8(4).Zeros(7).Raw(x256).Build(),
       "OnChatMessage(0,1," + x255 + ",2,3,4)\n"},
      {"id 68", Msg(68).U32(1).Zeros(4).U8(2).U8(3).U8(4).F64(2.5).Raw(x256).Build(),
       "OnChatMessageEx(0,1,2.5," + x255 + ",2,3,4)\n"},
      {"id 70",
       Msg(70).U32(1).Raw(kBlock).U8(2).U8(3).U8(4).Zeros(7).F64(2.5).U32(9).Raw(x256).Build(),
       "OnOfflineMessage(0,1,2.5," + x255 + ",2,3,4,[" + kBlock + "],9)\n"},
      {"id 62", Msg(62).U32(1).U8(2).U8(3).U8(4).U8(5).Raw(x256).Build(),
       "OnChatMessage(2,5," + x255 + ",2,3,4)\n"},
      {"id 63", Msg(63).U32(1).U32(5).Raw(x256).Build(), "OnChatMessage(6,5," + x255 + ",0,0,0)\n"},
  };
  for (const Row& row : rows) {
    for (const bool attach : {true, false}) {
      SCOPED_TRACE(std::string(row.name) + (attach ? " with sink" : " without sink"));
      const Outcome out = Handle(row.message, attach);
      EXPECT_EQ(attach ? row.log : "", out.log);
      EXPECT_EQ(WithLastByteZero(row.message), out.after);
    }
  }
}

TEST(MessageHandlers, MessagesWithoutRoomForTextDeliverAnEmptyText) {
  // Missing fields read as 0. The fixed fields that did arrive are passed on
  // as sent: with no text byte in the message there is nothing to end, so
  // the message is left untouched.
  struct Row {
    const char* name;
    Bytes message;
    std::string log;
    bool lastByteZeroed;
  };
  const std::vector<Row> rows = {
      {"id 9, header only", Msg(9).Build(), "OnChatMessage(0,0,'',0,0,0)\n", false},
      {"id 9, sender cut", Msg(9).U16(0x0201).Build(), "OnChatMessage(0,513,'',0,0,0)\n", false},
      {"id 9, 15 bytes", Msg(9).U32(5).Zeros(4).U8(1).U8(2).U8(203).Build(),
       "OnChatMessage(0,5,'',1,2,203)\n", false},
      {"id 9, 16 bytes: one text byte", Msg(9).U32(5).Zeros(4).U8(1).U8(2).U8(3).Raw("z").Build(),
       "OnChatMessage(0,5,'',1,2,3)\n", true},
      {"id 62, header only", Msg(62).Build(), "OnChatMessage(1,0,'',0,0,0)\n", false},
      {"id 62, 12 bytes", Msg(62).U32(2).U8(1).U8(2).U8(3).U8(200).Build(),
       "OnChatMessage(3,200,'',1,2,3)\n", false},
      {"id 63, flags cut", Msg(63).U16(0x0140).Build(), "OnChatMessage(12,0,'',0,0,0)\n", false},
      {"id 63, 12 bytes", Msg(63).U32(0x10).U32(0x01000077).Build(),
       "OnChatMessage(10,16777335,'',0,0,0)\n", false},
      {"id 68, 23 bytes: the double arrives whole",
       Msg(68).U32(5).Zeros(4).U8(1).U8(2).U8(3).F64(-2.5).Build(),
       "OnChatMessageEx(0,5,-2.5,'',1,2,3)\n", false},
      {"id 73, 23 bytes", Msg(73).U32(5).Zeros(5).U8(1).U8(2).U8(3).Fill(7, 0xEE).Build(),
       "OnChatMessage(0,5,'',1,2,3)\n", false},
      {"id 70, 68 bytes: the last value arrives whole",
       Msg(70).U32(5).Raw(kBlock).U8(1).U8(2).U8(3).Zeros(7).F64(-2.5).U32(0xFF000001).Build(),
       "OnOfflineMessage(0,5,-2.5,'',1,2,3,[" + kBlock + "],4278190081)\n", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome out = Handle(row.message);
    EXPECT_EQ(row.log, out.log);
    EXPECT_EQ(row.lastByteZeroed ? WithLastByteZero(row.message) : row.message, out.after);
  }
}

}  // namespace
}  // namespace test
}  // namespace kelvo
