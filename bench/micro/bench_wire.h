// What the benchmarks share: inbound messages built with the wire helpers, a
// sink that does nothing and a socket stand-in that sends nothing.
//
// Messages are built once, outside any timed region, through ByteWriter and
// the layout constants the client itself reads with, so a layout change
// moves both sides at once.
#ifndef KELVO_BENCH_BENCH_WIRE_H_
#define KELVO_BENCH_BENCH_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kelvo/im_client_sink.h"
#include "messaging/messaging_layouts.h"
#include "nimbo2/tcp_client_socks5.h"
#include "protocol/byte_io.h"
#include "protocol/message_ids.h"
#include "roster/roster_layouts.h"

namespace kelvo {
namespace bench {

using Bytes = std::vector<uint8_t>;

// Category 11 in bits 2-7 of byte 2.
inline constexpr uint8_t kCategoryByte = IM_MSG_CATEGORY << 2;

inline void WriteHeader(ByteWriter& out, std::size_t length, uint8_t id) {
  out.U16(0, static_cast<uint16_t>(length));
  out.U8(2, kCategoryByte);
  out.U8(3, id);
}

// IM_MSG_ID_ONLINE_STATE_NOTIFY: `userId` now has `state` (1 = offline).
inline Bytes OnlineState(uint32_t userId, uint8_t state) {
  Bytes m(kOnlineStateSize, 0);
  ByteWriter out(m.data(), m.size());
  WriteHeader(out, m.size(), IM_MSG_ID_ONLINE_STATE_NOTIFY);
  out.U32(kOnlineStateUserId, userId);
  out.U8(kOnlineStateState, state);
  return m;
}

// A user list (IM_MSG_MY_USER_LIST) of `count` friends with ids
// firstId, firstId + 1, ... Entries are `entryLength` bytes (18..49), except
// that the first `shortEntries` are one byte shorter, so that a list can be
// made to fill an exact total.
inline Bytes UserList(uint32_t firstId, std::size_t count, std::size_t entryLength,
                      std::size_t shortEntries = 0) {
  std::size_t total = kHeaderSize;
  for (std::size_t i = 0; i < count; ++i) total += entryLength - (i < shortEntries ? 1 : 0);
  Bytes m(total, 0);
  ByteWriter out(m.data(), m.size());
  WriteHeader(out, m.size(), IM_MSG_MY_USER_LIST);
  std::size_t pos = kHeaderSize;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t e = entryLength - (i < shortEntries ? 1 : 0);
    out.U8(pos + kUserEntryLength, static_cast<uint8_t>(e));
    out.U32(pos + kUserEntryUserId, firstId + static_cast<uint32_t>(i));
    out.U8(pos + kUserEntryRelation, 1);
    out.U8(pos + kUserEntryOnlineState, 2);
    out.U16(pos + kUserEntryGroupId, 1);
    out.U16(pos + kUserEntryGameServerId, 7);
    // Name: every byte up to the entry's last, which stays 0.
    for (std::size_t k = kUserEntryName; k + 1 < e; ++k) {
      out.U8(pos + k, static_cast<uint8_t>('a' + (k + i) % 26));
    }
    pos += e;
  }
  return m;
}

// The largest user list the client takes: 1,440 bytes, 30 entries (26 of 48
// bytes and 4 of 47).
inline constexpr std::size_t kFullUserListEntries = 30;
inline Bytes FullUserList(uint32_t firstId) { return UserList(firstId, kFullUserListEntries, 48, 4); }

// A group list (IM_MSG_ID_MY_GROUP_LIST) of 1,440 bytes: 20 groups, ids
// 1..20, 19 entries of 72 bytes and one of 68.
inline Bytes FullGroupList() {
  Bytes m(1440, 0);
  ByteWriter out(m.data(), m.size());
  WriteHeader(out, m.size(), IM_MSG_ID_MY_GROUP_LIST);
  std::size_t pos = kHeaderSize;
  for (uint16_t g = 1; g <= 20; ++g) {
    const std::size_t e = g < 20 ? kGroupEntryMaxSize : 68;
    out.U8(pos + kGroupEntryLength, static_cast<uint8_t>(e));
    out.U16(pos + kGroupEntryGroupId, g);
    out.U16(pos + kGroupEntryParentGroupId, 0);
    out.U8(pos + kGroupEntryGroupKind, 1);
    for (std::size_t k = kGroupEntryName; k + 1 < e; ++k) {
      out.U8(pos + k, static_cast<uint8_t>('A' + (k + g) % 26));
    }
    pos += e;
  }
  return m;
}

// A search result list (IM_MSG_ID_SEARCH_USER_RES_LIST) of 30 entries of the
// longest kind (47 bytes): 1,414 bytes.
inline Bytes FullSearchList(uint32_t firstId) {
  namespace f = layout::search_user_res_list;
  const std::size_t count = 30;
  Bytes m(kHeaderSize + count * f::kMaxEntry, 0);
  ByteWriter out(m.data(), m.size());
  WriteHeader(out, m.size(), IM_MSG_ID_SEARCH_USER_RES_LIST);
  std::size_t pos = f::kFirstEntry;
  for (std::size_t i = 0; i < count; ++i) {
    out.U8(pos + f::kEntryLength, static_cast<uint8_t>(f::kMaxEntry));
    out.U32(pos + f::kEntryUserId, firstId + static_cast<uint32_t>(i));
    out.U8(pos + f::kEntryOnlineState, 2);
    for (std::size_t k = f::kEntryName; k + 1 < f::kMaxEntry; ++k) {
      out.U8(pos + k, static_cast<uint8_t>('a' + (k + i) % 26));
    }
    pos += f::kMaxEntry;
  }
  return m;
}

// IM_MSG_ID_USER_CHAT at its largest (279 bytes): a 255-byte text from
// `sender`.
inline Bytes Chat(uint32_t sender) {
  namespace f = layout::user_chat;
  Bytes m(f::kMaxSize, 0);
  ByteWriter out(m.data(), m.size());
  WriteHeader(out, m.size(), IM_MSG_ID_USER_CHAT);
  out.U32(f::kSender, sender);
  out.U8(f::kChat1, 1);
  out.U8(f::kChat2, 2);
  out.U8(f::kChat3, 3);
  for (std::size_t k = f::kText; k + 1 < m.size(); ++k) out.U8(k, 'x');
  return m;
}

// A message with an id the client does not define (57): rejected with a text.
inline Bytes UndefinedId() {
  Bytes m(8, 0);
  ByteWriter out(m.data(), m.size());
  WriteHeader(out, m.size(), 57);
  return m;
}

// A host sink with empty bodies: what is measured is the client, not the
// host. Not final: the end-to-end program overrides the events it times.
class NullSink : public IImClientSink {
 public:
  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID& iid, uint32_t) override {
    return std::memcmp(&iid, &IID_IImClientSink, sizeof iid) == 0
               ? static_cast<IImClientSink*>(this)
               : nullptr;
  }
  void KELVO_CALL OnConnect(uint32_t) override {}
  void KELVO_CALL OnClose(uint32_t) override {}
  void KELVO_CALL OnServerInfo() override {}
  void KELVO_CALL OnLoginResult(uint32_t, const char*) override {}
  void KELVO_CALL OnLogout() override {}
  void KELVO_CALL OnAddUserResult(uint32_t, const UserRecord*) override {}
  void KELVO_CALL OnRemoveUserResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnAddGroupResult(uint32_t, const GroupRecord*) override {}
  void KELVO_CALL OnDeleteGroupResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnUpdateGroupResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnMoveUserResult(uint32_t, uint32_t) override {}
  void KELVO_CALL OnChatMessage(MessageKind, uint32_t, const char*, uint8_t, uint8_t,
                                uint8_t) override {}
  void KELVO_CALL OnChatMessageEx(MessageKind, uint32_t, double, const char*, uint8_t, uint8_t,
                                  uint8_t) override {}
  void KELVO_CALL OnOfflineMessage(MessageKind, uint32_t, double, const char*, uint8_t, uint8_t,
                                   uint8_t, const void*, uint32_t) override {}
  void KELVO_CALL OnAddUserRequest(uint32_t) override {}
  void KELVO_CALL OnAddUserReply(uint32_t, const UserRecord*) override {}
  void KELVO_CALL OnOnlineStateChanged(uint32_t) override {}
  void KELVO_CALL OnUserEnterGameServer(uint32_t) override {}
  void KELVO_CALL OnUserLeaveGameServer(uint32_t) override {}
  void KELVO_CALL OnLog(const char*) override {}
  void KELVO_CALL OnSearchUserResult(const SearchUserResult*) override {}
  void KELVO_CALL OnSearchUserListItem(const UserRecord*) override {}
  void KELVO_CALL OnSearchUserListEnd(uint32_t) override {}
  bool KELVO_CALL OnEnumUser(uint32_t, const UserRecord*) override { return true; }
  bool KELVO_CALL OnEnumAddRequest(uint32_t, const UserRecord*) override { return true; }
  bool KELVO_CALL OnEnumGroup(uint32_t, const GroupRecord*) override { return true; }
};

// A socket client that takes every message and sends nothing: a request's
// cost is then its own building and checking, not the network's.
class NullSocket final : public Nimbo2::TCPClient_Socks5 {
 public:
  explicit NullSocket(Nimbo2::MsgWorker* worker) : Nimbo2::TCPClient_Socks5(worker) {}
  void SetProxyServer(Nimbo2::tagProxyInfo&) override {}
  void CancelProxyServer() override {}
  bool Connect(sockaddr_in) override { return true; }
  bool SendMsg(void*, void*, int) override { return true; }
  bool CloseSocket(bool) override { return true; }
  int GetConnectState() const override { return 2; }
};

}  // namespace bench
}  // namespace kelvo

#endif  // KELVO_BENCH_BENCH_WIRE_H_
