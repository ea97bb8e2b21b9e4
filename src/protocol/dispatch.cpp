// Inbound dispatch: category test, one table lookup by id, the id's size
// rule, then the id's handler. Nothing is allocated or copied here; the
// handler works in the network library's own buffer.
#include <array>

#include "core/im_server_client.h"
#include "nimbo2/msg_head.h"
#include "protocol/message_ids.h"
#include "roster/roster_layouts.h"
#include "sink/texts.h"

namespace kelvo {

namespace {

struct DispatchRow {
  ImServerClient::Handler handler;  // null: the id is undefined
  ImServerClient::RunHandler run;   // null: one message at a time
  uint16_t minLength;               // size rule: minLength <= L <= maxLength
  uint16_t maxLength;
  const char* sizeErrorText;
};

using C = ImServerClient;

constexpr std::array<DispatchRow, 256> MakeDispatchTable() {
  std::array<DispatchRow, 256> t{};
  auto row = [&t](uint8_t id, C::Handler h, uint16_t lo, uint16_t hi, const char* text) {
    t[id] = DispatchRow{h, nullptr, lo, hi, text};
  };
  // An id with a run handler has one length (RunFrom counts on it).
  auto runRow = [&t](uint8_t id, C::Handler h, C::RunHandler run, uint16_t length,
                     const char* text) { t[id] = DispatchRow{h, run, length, length, text}; };
  row(IM_US_MSG_SEND_MESSAGE, &C::HandleSendMessage, 4, 271, kTextSizeError_IM_US_MSG_SEND_MESSAGE);
  row(IM_MSG_ID_SERVER_INFO, &C::HandleServerInfo, 11, 11, kTextSizeError_IM_MSG_ID_SERVER_INFO);
  row(IM_MSG_ID_MY_GROUP_LIST, &C::HandleMyGroupList, 4, 1440, kTextSizeError_IM_MSG_ID_MY_GROUP_LIST);
  row(IM_MSG_MY_USER_LIST, &C::HandleMyUserList, 4, 1440, kTextSizeError_IM_MSG_MY_USER_LIST);
  row(IM_MSG_ID_MY_USERDATA, &C::HandleMyUserData, 4, 56, kTextSizeError_IM_MSG_ID_MY_USERDATA);
  row(IM_MSG_ID_MY_GROUP_LIST_2, &C::HandleMyGroupList, 4, 1440, kTextSizeError_IM_MSG_ID_MY_GROUP_LIST);
  row(IM_MSG_MY_USER_LIST_2, &C::HandleMyUserList, 4, 1440, kTextSizeError_IM_MSG_MY_USER_LIST);
  row(IM_MSG_ID_MY_LOGIN_OK, &C::HandleLoginOk, 8, 8, kTextSizeError_IM_MSG_ID_MY_LOGIN_OK);
  row(IM_MSG_ID_LOGIN_FAIL, &C::HandleLoginFail, 262, 262, kTextSizeError_IM_MSG_ID_LOGIN_FAIL);
  row(IM_MSG_ID_USER_LOGOUT, &C::HandleUserLogout, 10, 10, kTextSizeError_IM_MSG_ID_USER_LOGOUT);
  row(IM_MSG_ID_ADD_USER_RESULT, &C::HandleAddUserResult, 4, 57, kTextSizeError_IM_MSG_ID_ADD_USER_RESULT);
  row(IM_MSG_ID_REMOVE_USER_RESULT, &C::HandleRemoveUserResult, 17, 17, kTextSizeError_IM_MSG_ID_REMOVE_USER_RESULT);
  row(IM_MSG_ID_IN_OUT_GS_NOTIFY, &C::HandleInOutGsNotify, 11, 11, kTextSizeError_IM_MSG_ID_IN_OUT_GS_NOTIFY);
  row(IM_MSG_ID_ADD_GROUP_RESULT, &C::HandleAddGroupResult, 4, 79, kTextSizeError_IM_MSG_ID_ADD_GROUP_RESULT);
  row(IM_MSG_ID_UPDATE_GROUP_RESULT, &C::HandleUpdateGroupResult, 79, 79, kTextSizeError_IM_MSG_ID_UPDATE_GROUP_RESULT);
  row(IM_MSG_ID_DEL_GROUP_RESULT, &C::HandleDelGroupResult, 12, 12, kTextSizeError_IM_MSG_ID_DEL_GROUP_RESULT);
  // Presence comes in long streams: runs of it go to one call.
  runRow(IM_MSG_ID_ONLINE_STATE_NOTIFY, &C::HandleOnlineStateNotify, &C::RunOnlineStateNotify, 13,
         kTextSizeError_IM_MSG_ID_ONLINE_STATE_NOTIFY);
  row(IM_MSG_ID_SYSTEM_MESSAGE, &C::HandleSystemMessage, 4, 268, kTextSizeError_IM_MSG_ID_SYSTEM_MESSAGE);
  row(IM_MSG_ID_INFO_MSG, &C::HandleInfoMessage, 4, 268, kTextSizeError_IM_MSG_ID_INFO_MSG);
  row(IM_MSG_ID_ADD_USER_REQUEST, &C::HandleAddUserRequest, 60, 60, kTextSizeError_IM_MSG_ID_ADD_USER_REQUEST);
  row(IM_MSG_ID_GM_ONLINE_NOTIFY, &C::HandleGmOnlineNotify, 4, 53, kTextSizeError_IM_MSG_ID_GM_ONLINE_NOTIFY);
  row(IM_MSG_ID_MODIFY_GROUP_RESULT, &C::HandleModifyGroupResult, 74, 74, kTextSizeError_IM_MSG_ID_MODIFY_GROUP_RESULT);
  row(IM_MSG_ID_MOVE_USER_RESULT, &C::HandleMoveUserResult, 16, 16, kTextSizeError_IM_MSG_ID_MOVE_USER_RESULT);
  // Payload 19-275.
  row(IM_US_MSG_SEND_MESSAGE_EX, &C::HandleSendMessageEx, 23, 279, kTextSizeError_IM_US_MSG_SEND_MESSAGE);
  // Payload 64-320.
  row(IM_MSG_ID_OFFLINE_MESSAGE_2, &C::HandleOfflineMessage, 68, 324, kTextSizeError_IM_MSG_ID_OFFLINE_MESSAGE_2);
  row(IM_MSG_ID_SEARCH_USER_RES, &C::HandleSearchUserRes, 4, 20, kTextSizeError_IM_MSG_ID_SEARCH_USER_RES);
  // Payload 0-1440.
  row(IM_MSG_ID_SEARCH_USER_RES_LIST, &C::HandleSearchUserResList, 4, 1444, kTextSizeError_IM_MSG_ID_SEARCH_USER_RES_LIST);
  // Payload 19-275.
  row(IM_MSG_ID_USER_CHAT, &C::HandleUserChat, 23, 279, kTextSizeError_IM_MSG_ID_USER_CHAT);
  return t;
}

constexpr std::array<DispatchRow, 256> kDispatch = MakeDispatchTable();

// Handlers of fixed-size messages read their fields without bounds checks
// (FixedReader), relying on the size rule above for the message's length.
static_assert(kDispatch[IM_MSG_ID_ONLINE_STATE_NOTIFY].minLength >= kOnlineStateSize);
static_assert(kDispatch[IM_MSG_ID_IN_OUT_GS_NOTIFY].minLength >= kInOutGsSize);
static_assert(kDispatch[IM_MSG_ID_REMOVE_USER_RESULT].minLength >= kRemoveUserResultSize);
static_assert(kDispatch[IM_MSG_ID_MOVE_USER_RESULT].minLength >= kMoveUserResultSize);
static_assert(kDispatch[IM_MSG_ID_ADD_USER_REQUEST].minLength >= kAddRequestSize);

// The run part of DispatchRun, out of line so that the one-message path
// stays short: as many messages of the row's one length as `budget` allows
// and fit before `end` go to its run handler. Returns how many it handled.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
uint32_t RunFrom(ImServerClient* client, const DispatchRow& row, uint8_t** at, const uint8_t* end,
                 uint32_t budget, uint32_t seen) {
  uint8_t* const first = *at;
  const std::size_t length = row.minLength;
  std::size_t most = static_cast<std::size_t>(end - first) / length;
  if (most > budget) most = budget;
  uint8_t* const stop = (client->*row.run)(first, first + most * length, seen);
  *at = stop;
  return static_cast<uint32_t>(static_cast<std::size_t>(stop - first) / length);
}

}  // namespace

uint32_t ImServerClient::HandleMessage(void* message, uint32_t length, uint32_t context,
                                       uint32_t /*reserved*/) {
  if (message == nullptr) return 0;
  CallScope scope(this);
  if (!scope.live()) return 0;
  return Dispatch(static_cast<uint8_t*>(message), length, context);
}

uint32_t ImServerClient::DispatchRun(uint8_t** at, const uint8_t* end, uint32_t budget) {
  uint8_t* const message = *at;
  const DispatchRow& row = kDispatch[Nimbo2::NimboMsgHead::Id(message)];
  if (row.run != nullptr) {
    // The count first, then Waiters(): a thread already waiting is in
    // `seen` and would not end the run, so it gets in after the run's first
    // message instead.
    const uint32_t seen = lock_.Disturbances();
    if (lock_.Waiters() > 0) budget = 1;
    const uint32_t n = RunFrom(this, row, at, end, budget, seen);
    if (n != 0) return n;
  }
  const uint32_t length = Nimbo2::NimboMsgHead::Length(message);
  *at = message + length;
  Dispatch(message, length, 0);
  return 1;
}

uint32_t ImServerClient::Dispatch(uint8_t* msg, uint32_t length, uint32_t context) {
  // A delivery shorter than the header cannot be judged; the library never
  // hands one over, but nothing here may read past what it did hand over.
  if (length < kHeaderSize) return 0;
  if ((msg[2] & Nimbo2::NimboMsgHead::kCategoryMask) != (IM_MSG_CATEGORY << 2)) return 0;
  const uint8_t id = Nimbo2::NimboMsgHead::Id(msg);
  const DispatchRow& row = kDispatch[id];
  const uint32_t L = Nimbo2::NimboMsgHead::Length(msg);
  // The header's length must also fit what was delivered, or a handler
  // could be sent past the buffer.
  const bool rejected =
      row.handler == nullptr || L < row.minLength || L > row.maxLength || L > length;
  try {
    if (row.handler == nullptr) return FormatLog(kResultFail, kTextUndefinedId, unsigned{id});
    if (rejected) return FormatLog(kResultFail, "%s", row.sizeErrorText);
    return (this->*row.handler)(context, msg);
  } catch (...) {
    // Thrown by a host callback (OnLog of the dispatcher's own texts
    // included). The handler's table changes up to the callback stand (each
    // is whole); what the message held after it is dropped, and the next
    // message is handled as usual.
    CallbackThrew(kTextCallbackThrewMessage, unsigned{id});
    return rejected ? kResultFail : 0;
  }
}

}  // namespace kelvo
