// Every inbound message id at every length from 4 bytes up to past its size
// rule, filled with bytes chosen to be hostile to the handlers (no
// terminators, list entries of 1, 17, 47 or 255 bytes, ids that match
// entries in the tables), delivered in a buffer of exactly L bytes.
//
// Over-reads and writes are ASan's (and Valgrind's) to catch; this suite
// checks what they cannot see: that every text the host is handed ends
// inside the message or is an empty text of the client's own, that the
// offline message's block lies inside the message, that names in records
// are read within their field, and that a host which closes the client from
// inside every callback (emptying the tables under the handler) leaves the
// handler nothing stale to step on.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "kelvo/kelvo_core.h"
#include "protocol/message_ids.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using test::Bytes;
using test::Msg;

// Checks every pointer the client hands over against the message being
// delivered; counts faults instead of failing per call, so a broken handler
// gives one readable failure per id rather than thousands.
class BoundsSink : public IImClientSink {
 public:
  // The message under delivery.
  const uint8_t* message = nullptr;
  std::size_t length = 0;
  // When set, every callback closes the client (emptying its tables).
  IImClient* closeFromCallbacks = nullptr;

  int calls = 0;
  int faults = 0;
  std::string firstFault;

  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID&, uint32_t) override {
    return static_cast<IImClientSink*>(this);
  }

  void KELVO_CALL OnConnect(uint32_t) override { Hit(); }
  void KELVO_CALL OnClose(uint32_t) override { Hit(); }
  void KELVO_CALL OnServerInfo() override { Hit(); }
  void KELVO_CALL OnLoginResult(uint32_t, const char* text) override {
    Text(text, "OnLoginResult text");
    Hit();
  }
  void KELVO_CALL OnLogout() override { Hit(); }
  void KELVO_CALL OnAddUserResult(uint32_t, const UserRecord* user) override {
    User(user, "OnAddUserResult");
    Hit();
  }
  void KELVO_CALL OnRemoveUserResult(uint32_t, uint32_t) override { Hit(); }
  void KELVO_CALL OnAddGroupResult(uint32_t, const GroupRecord* group) override {
    if (group == nullptr) Fault("OnAddGroupResult: null record");
    if (group != nullptr) Field(group->name, sizeof group->name);
    Hit();
  }
  void KELVO_CALL OnDeleteGroupResult(uint32_t, uint32_t) override { Hit(); }
  void KELVO_CALL OnUpdateGroupResult(uint32_t, uint32_t) override { Hit(); }
  void KELVO_CALL OnMoveUserResult(uint32_t, uint32_t) override { Hit(); }
  void KELVO_CALL OnChatMessage(MessageKind, uint32_t, const char* text, uint8_t, uint8_t,
                                uint8_t) override {
    Text(text, "OnChatMessage text");
    Hit();
  }
  void KELVO_CALL OnChatMessageEx(MessageKind, uint32_t, double, const char* text, uint8_t,
                                  uint8_t, uint8_t) override {
    Text(text, "OnChatMessageEx text");
    Hit();
  }
  void KELVO_CALL OnOfflineMessage(MessageKind, uint32_t, double, const char* text, uint8_t,
                                   uint8_t, uint8_t, const void* block, uint32_t) override {
    Text(text, "OnOfflineMessage text");
    const auto* b = static_cast<const uint8_t*>(block);
    if (b == nullptr || b < message || b + 38 > message + length) {
      Fault("OnOfflineMessage block is not 38 bytes inside the message");
    }
    Hit();
  }
  void KELVO_CALL OnAddUserRequest(uint32_t) override { Hit(); }
  void KELVO_CALL OnAddUserReply(uint32_t, const UserRecord* user) override {
    User(user, "OnAddUserReply");
    Hit();
  }
  void KELVO_CALL OnOnlineStateChanged(uint32_t) override { Hit(); }
  void KELVO_CALL OnUserEnterGameServer(uint32_t) override { Hit(); }
  void KELVO_CALL OnUserLeaveGameServer(uint32_t) override { Hit(); }
  void KELVO_CALL OnLog(const char* text) override {
    // The client's own 512-byte buffer: it must be terminated within it.
    if (text == nullptr || std::memchr(text, 0, 512) == nullptr) Fault("OnLog text unterminated");
    Hit();
  }
  void KELVO_CALL OnSearchUserResult(const SearchUserResult* r) override {
    if (r == nullptr) Fault("OnSearchUserResult: null record");
    Hit();
  }
  void KELVO_CALL OnSearchUserListItem(const UserRecord* user) override {
    User(user, "OnSearchUserListItem");
    Hit();
  }
  void KELVO_CALL OnSearchUserListEnd(uint32_t) override { Hit(); }
  bool KELVO_CALL OnEnumUser(uint32_t, const UserRecord*) override { return true; }
  bool KELVO_CALL OnEnumAddRequest(uint32_t, const UserRecord*) override { return true; }
  bool KELVO_CALL OnEnumGroup(uint32_t, const GroupRecord*) override { return true; }

 private:
  void Fault(const std::string& what) {
    if (faults++ == 0) firstFault = what;
  }
  void Hit() {
    ++calls;
    if (closeFromCallbacks != nullptr) closeFromCallbacks->Close();
  }
  // A text inside the message must end inside it; any other text must be an
  // empty one (the client's own "").
  void Text(const char* text, const char* what) {
    if (text == nullptr) return Fault(std::string(what) + " is null");
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    if (p >= message && p < message + length) {
      if (std::memchr(p, 0, static_cast<std::size_t>(message + length - p)) == nullptr)
        Fault(std::string(what) + " runs past the message");
    } else if (*p != 0) {
      Fault(std::string(what) + " points outside the message");
    }
  }
  // A name is read at most to its field's width (ASan watches the read).
  static void Field(const char* name, std::size_t width) {
    volatile std::size_t n = 0;
    while (n < width && name[n] != 0) n = n + 1;
  }
  void User(const UserRecord* user, const char* what) {
    if (user == nullptr) return Fault(std::string(what) + ": null record");
    Field(user->name, sizeof user->name);
  }
};

// What the tables hold before each delivery (refilled whenever a handler or
// a Close has taken something out): users, a request and groups
// whose ids are the ones the fill bytes spell, and own data, so that every
// handler finds its entries and goes down its longest path.
const uint8_t kFills[] = {0x00, 0x01, 0x11, 0x2F, 0xFF};
constexpr std::size_t kFillCount = sizeof kFills;

Bytes UserEntry(uint32_t id, uint16_t groupId) {
  Bytes e = Msg(0).U32(id).U8(1).U8(1).U8(1).U8(2).U16(groupId).U16(0).U16(0).U16(0).Raw("n").U8(0)
                .Build();
  e.erase(e.begin(), e.begin() + 3);
  e[0] = static_cast<uint8_t>(e.size());
  return e;
}

void Prefill(ImServerClient& client) {
  Msg users(47), groups(46);
  for (uint8_t b : kFills) {
    const uint32_t userId = b * 0x01010101u;
    const uint16_t groupId = static_cast<uint16_t>(b * 0x0101u);
    users.Append(UserEntry(userId, groupId));
    groups.U8(10).U16(groupId).U16(1).U8(1).U16(0).Raw("g").U8(0);
    test::Deliver(client, Msg(64).U32(userId).PadTo(60).Build());
  }
  test::Deliver(client, users.Build());
  test::Deliver(client, groups.Build());
  test::Deliver(client, Msg(48).U32(0x7F7F7F7F).PadTo(56).Build());
}

struct IdRange {
  uint8_t id;
  std::size_t maxLength;  // swept up to here, a little past the size rule
};

// Every defined id; the sweep goes two bytes past each size rule's upper end
// so that the rejected lengths are crossed too.
const IdRange kIds[] = {
    {9, 273},    {45, 13},   {46, 1442}, {47, 1442}, {48, 58},   {49, 1442}, {50, 1442},
    {51, 10},    {52, 264},  {53, 12},   {54, 59},   {55, 19},   {56, 13},   {58, 81},
    {59, 81},    {60, 14},   {61, 15},   {62, 270},  {63, 270},  {64, 62},   {65, 55},
    {66, 76},    {67, 18},   {68, 281},  {70, 326},  {71, 22},   {72, 1446}, {73, 281},
};

TEST(FaultBounds, EveryIdAtEveryLengthHandsTheHostOnlyWhatLiesInsideTheMessage) {
  for (const bool closeInside : {false, true}) {
    for (const IdRange& range : kIds) {
      SCOPED_TRACE(std::string("id ") + std::to_string(range.id) +
                   (closeInside ? ", Close from every callback" : ""));
      test::FakeClient fc;
      BoundsSink sink;
      fc->SetSink(&sink);
      uint32_t seed = range.id;
      int calls = 0;
      for (std::size_t length = 4; length <= range.maxLength; ++length) {
        for (int fill = 0; fill <= static_cast<int>(sizeof kFills); ++fill) {
          sink.closeFromCallbacks = nullptr;
          if (fc->users().size() != kFillCount || fc->requests().size() != kFillCount ||
              fc->groups().size() != kFillCount || fc->myInfo().userId == 0) {
            fc->ClearLoginData();  // lists of random entries would pile up otherwise
            Prefill(*fc);
          }
          const int before = sink.calls;
          std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
          for (std::size_t i = 4; i < length; ++i) {
            if (fill < static_cast<int>(sizeof kFills)) {
              buffer[i] = kFills[fill];
            } else {
              seed = seed * 1664525u + 1013904223u;
              buffer[i] = static_cast<uint8_t>(seed >> 24);
            }
          }
          buffer[0] = static_cast<uint8_t>(length);
          buffer[1] = static_cast<uint8_t>(length >> 8);
          buffer[2] = 0x2C;
          buffer[3] = range.id;
          sink.message = buffer.get();
          sink.length = length;
          sink.closeFromCallbacks = closeInside ? fc.client : nullptr;
          fc->HandleMessage(buffer.get(), static_cast<uint32_t>(length), 0, 0);
          calls += sink.calls - before;
        }
      }
      EXPECT_EQ(sink.faults, 0) << "first: " << sink.firstFault;
      EXPECT_GT(calls, 0) << "the sweep reached no callback at all";
    }
  }
}

}  // namespace
}  // namespace kelvo
