// Every text the client produces, in one place.
//
// The system's texts are GBK (code page 936) byte strings; the source holds
// their bytes, with the readable form in the comment above each. The
// dispatcher's texts are ASCII. Formats use %u as their only conversion.
#ifndef KELVO_SINK_TEXTS_H_
#define KELVO_SINK_TEXTS_H_

namespace kelvo {

// Dispatcher: an id with no row (no trailing newline).
inline constexpr char kTextUndefinedId[] = "ImServerClient::HandleMessage() undefine msg ID=%u!";

// Dispatcher: size rule broken, one text per message name.
inline constexpr char kTextSizeError_IM_US_MSG_SEND_MESSAGE[] =
    "ImServerClient::HandleMessage() msg size error (IM_US_MSG_SEND_MESSAGE)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_SERVER_INFO[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_SERVER_INFO)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_MY_GROUP_LIST[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_MY_GROUP_LIST)!\n";
inline constexpr char kTextSizeError_IM_MSG_MY_USER_LIST[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_MY_USER_LIST)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_MY_USERDATA[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_MY_USERDATA)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_MY_LOGIN_OK[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_MY_LOGIN_OK)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_LOGIN_FAIL[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_LOGIN_FAIL)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_USER_LOGOUT[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_USER_LOGOUT)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_ADD_USER_RESULT[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_ADD_USER_RESULT)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_REMOVE_USER_RESULT[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_REMOVE_USER_RESULT)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_IN_OUT_GS_NOTIFY[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_IN_OUT_GS_NOTIFY)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_ADD_GROUP_RESULT[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_ADD_GROUP_RESULT)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_UPDATE_GROUP_RESULT[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_UPDATE_GROUP_RESULT)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_DEL_GROUP_RESULT[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_DEL_GROUP_RESULT)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_ONLINE_STATE_NOTIFY[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_ONLINE_STATE_NOTIFY)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_SYSTEM_MESSAGE[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_SYSTEM_MESSAGE)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_INFO_MSG[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_INFO_MSG)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_ADD_USER_REQUEST[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_ADD_USER_REQUEST)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_GM_ONLINE_NOTIFY[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_GM_ONLINE_NOTIFY)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_MODIFY_GROUP_RESULT[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_MODIFY_GROUP_RESULT)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_MOVE_USER_RESULT[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_MOVE_USER_RESULT)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_OFFLINE_MESSAGE_2[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_OFFLINE_MESSAGE_2)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_SEARCH_USER_RES[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_SEARCH_USER_RES)!\n";
inline constexpr char kTextSizeError_IM_MSG_ID_USER_CHAT[] =
    "ImServerClient::HandleMessage() msg size error (IM_MSG_ID_USER_CHAT)!\n";
// The search list's text has another form: no class prefix, no blank, no newline.
inline constexpr char kTextSizeError_IM_MSG_ID_SEARCH_USER_RES_LIST[] =
    "HandleMessage() Invalid data size(IM_MSG_ID_SEARCH_USER_RES_LIST)!";

// Roster: user and presence handlers.
// 添加用户失败!userid=%u\n
inline constexpr char kTextAddUserFailedZeroId[] =
    "\xcc\xed\xbc\xd3\xd3\xc3\xbb\xa7\xca\xa7\xb0\xdc!userid=%u\n";
// 删除用户失败!userid=%u\n
inline constexpr char kTextRemoveUserFailedZeroId[] =
    "\xc9\xbe\xb3\xfd\xd3\xc3\xbb\xa7\xca\xa7\xb0\xdc!userid=%u\n";
// 收到删除玩家消息是，myinfo为空
inline constexpr char kTextRemoveUserNoMyInfo[] =
    "\xca\xd5\xb5\xbd\xc9\xbe\xb3\xfd\xcd\xe6\xbc\xd2\xcf\xfb\xcf\xa2\xca\xc7\xa3\xacmyinfo\xce\xaa\xbf\xd5";
// 删除用户失败!用户[id=%u]不存在\n
inline constexpr char kTextRemoveUserUnknown[] =
    "\xc9\xbe\xb3\xfd\xd3\xc3\xbb\xa7\xca\xa7\xb0\xdc!\xd3\xc3\xbb\xa7[id=%u]\xb2\xbb\xb4\xe6\xd4\xda\n";
// 处理玩家进出游戏服务器失败!用户[id=%u]不存在\n
inline constexpr char kTextGameServerUserUnknown[] =
    "\xb4\xa6\xc0\xed\xcd\xe6\xbc\xd2\xbd\xf8\xb3\xf6\xd3\xce\xcf\xb7\xb7\xfe\xce\xf1\xc6\xf7\xca\xa7\xb0\xdc!\xd3\xc3\xbb\xa7[id=%u]\xb2\xbb\xb4\xe6\xd4\xda\n";
// 收到不存在的玩家上下线消息!用户[id=%u]不存在\n
inline constexpr char kTextOnlineStateUserUnknown[] =
    "\xca\xd5\xb5\xbd\xb2\xbb\xb4\xe6\xd4\xda\xb5\xc4\xcd\xe6\xbc\xd2\xc9\xcf\xcf\xc2\xcf\xdf\xcf\xfb\xcf\xa2!\xd3\xc3\xbb\xa7[id=%u]\xb2\xbb\xb4\xe6\xd4\xda\n";
// 用户[id=%u]已发送了加我请求\n
inline constexpr char kTextAddRequestDuplicate[] =
    "\xd3\xc3\xbb\xa7[id=%u]\xd2\xd1\xb7\xa2\xcb\xcd\xc1\xcb\xbc\xd3\xce\xd2\xc7\xeb\xc7\xf3\n";
// 移动用户失败!userid=%u\n
inline constexpr char kTextMoveUserFailedZeroId[] =
    "\xd2\xc6\xb6\xaf\xd3\xc3\xbb\xa7\xca\xa7\xb0\xdc!userid=%u\n";
// 移动用户失败!用户[id=%u]不存在\n
inline constexpr char kTextMoveUserUnknown[] =
    "\xd2\xc6\xb6\xaf\xd3\xc3\xbb\xa7\xca\xa7\xb0\xdc!\xd3\xc3\xbb\xa7[id=%u]\xb2\xbb\xb4\xe6\xd4\xda\n";

// Roster: group handlers.
// 添加组失败!groupid=%u\n
inline constexpr char kTextAddGroupFailedZeroId[] =
    "\xcc\xed\xbc\xd3\xd7\xe9\xca\xa7\xb0\xdc!groupid=%u\n";
// 添加组失败!组[id=%u]已存在\n
inline constexpr char kTextAddGroupExists[] =
    "\xcc\xed\xbc\xd3\xd7\xe9\xca\xa7\xb0\xdc!\xd7\xe9[id=%u]\xd2\xd1\xb4\xe6\xd4\xda\n";
// 收到不存在的组更新消息!组[id=%u]不存在\n
inline constexpr char kTextUpdateGroupUnknown[] =
    "\xca\xd5\xb5\xbd\xb2\xbb\xb4\xe6\xd4\xda\xb5\xc4\xd7\xe9\xb8\xfc\xd0\xc2\xcf\xfb\xcf\xa2!\xd7\xe9[id=%u]\xb2\xbb\xb4\xe6\xd4\xda\n";
// 删除组失败!groupid=0\n
inline constexpr char kTextDeleteGroupFailedZeroId[] =
    "\xc9\xbe\xb3\xfd\xd7\xe9\xca\xa7\xb0\xdc!groupid=0\n";
// 删除组失败!组[id=%u]不存在\n
inline constexpr char kTextDeleteGroupUnknown[] =
    "\xc9\xbe\xb3\xfd\xd7\xe9\xca\xa7\xb0\xdc!\xd7\xe9[id=%u]\xb2\xbb\xb4\xe6\xd4\xda\n";

// Requests.
// Request_friend 接口目前不支持了!add by quarn
inline constexpr char kTextRequestFriendUnsupported[] =
    "Request_friend \xbd\xd3\xbf\xda\xc4\xbf\xc7\xb0\xb2\xbb\xd6\xa7\xb3\xd6\xc1\xcb!add by quarn";

// A host callback threw an exception; the client caught it and went on.
// ASCII, like the dispatcher's texts.
inline constexpr char kTextCallbackThrewMessage[] =
    "ImServerClient::HandleMessage() callback threw an exception, rest of msg ID=%u skipped!\n";
inline constexpr char kTextCallbackThrewConnectState[] =
    "ImServerClient::OnConnectState() callback threw an exception, state=%u kept!\n";
// A reconnection's next attempt could not start (no thread or memory for
// it): the series ends. ASCII, like the reason lines.
inline constexpr char kTextReconnectNotStarted[] =
    "ImServerClient: reconnection ended: attempt %u could not start\n";
// These three carry no value; the formatter ignores the one it is given.
inline constexpr char kTextCallbackThrewEnumUsers[] =
    "ImServerClient::EnumUsers() callback threw an exception, enumeration ended!\n";
inline constexpr char kTextCallbackThrewEnumAddRequests[] =
    "ImServerClient::EnumAddRequests() callback threw an exception, enumeration ended!\n";
inline constexpr char kTextCallbackThrewEnumGroups[] =
    "ImServerClient::EnumGroups() callback threw an exception, enumeration ended!\n";

// Factory (carried by exceptions that never leave CreateKelvoCore).
// 创建失败
inline constexpr char kTextCreateFailed[] =
    "\xb4\xb4\xbd\xa8\xca\xa7\xb0\xdc";
// 接口查询失败
inline constexpr char kTextQueryInterfaceFailed[] =
    "\xbd\xd3\xbf\xda\xb2\xe9\xd1\xaf\xca\xa7\xb0\xdc";

// Why a connection attempt failed or a connection ended: one ASCII line per
// event, a head naming the server, then the reason. Conversions: %s for a
// host (a dotted address, or the name or address ConnectTo was given, an
// IPv6 one in brackets) followed by %u for its port, %u for other numbers
// and 0x%02X for a protocol byte. The proxy heads name the target first,
// then the proxy.
inline constexpr char kTextLinkFailed[] = "ImServerClient: connect to %s:%u failed: ";
inline constexpr char kTextLinkFailedViaProxy[] =
    "ImServerClient: connect to %s:%u via proxy %s:%u failed: ";
inline constexpr char kTextLinkLost[] = "ImServerClient: connection to %s:%u lost: ";
inline constexpr char kTextLinkLostViaProxy[] =
    "ImServerClient: connection to %s:%u via proxy %s:%u lost: ";
// A name that did not resolve, with the resolver's reason; and the head of
// the reason when every address of a name was tried and none answered (the
// last one's reason follows).
inline constexpr char kTextLinkUnresolved[] = "cannot resolve '%s': %s\n";
inline constexpr char kTextLinkNoAddressAnswered[] = "no address of '%s' answered: ";
inline constexpr char kTextLinkRefused[] = "connection refused\n";
inline constexpr char kTextLinkTimedOut[] = "timed out after %u ms\n";
inline constexpr char kTextLinkUnreachable[] = "network or host unreachable\n";
inline constexpr char kTextLinkReset[] = "connection reset by peer\n";
inline constexpr char kTextLinkClosed[] = "connection closed by peer\n";
inline constexpr char kTextLinkKeepAlive[] = "keep-alive timeout, %u probes unanswered\n";
inline constexpr char kTextLinkUnacknowledged[] = "sent data unacknowledged for %u ms\n";
inline constexpr char kTextLinkSendStall[] = "send stall, peer took no data for %u ms\n";
inline constexpr char kTextLinkProxyMethod[] =
    "proxy refused the no-authentication method (method byte 0x%02X)\n";
// The reply code, then its meaning from the table below.
inline constexpr char kTextLinkProxyFailure[] = "proxy failure reply %u (%s)\n";
inline constexpr char kTextLinkProxyClosed[] = "proxy closed the connection during the handshake\n";
inline constexpr char kTextLinkProxyAuthRefused[] =
    "proxy refused the username and password (status 0x%02X)\n";
inline constexpr char kTextLinkProxyBadReply[] = "proxy sent a malformed reply (byte 0x%02X)\n";
inline constexpr char kTextLinkFraming[] = "framing error (a message length below 4)\n";
inline constexpr char kTextLinkOutOfMemory[] = "out of memory\n";
inline constexpr char kTextLinkOtherError[] = "system error %u\n";
inline constexpr char kTextLinkNoDescriptors[] = "too many open files (system error %u)\n";
// SOCKS5 reply codes 1 to 8 (RFC 1928, section 6), by code; anything else
// is unassigned.
inline constexpr const char* kTextSocksReplyMeanings[] = {
    "succeeded",
    "general SOCKS server failure",
    "connection not allowed by ruleset",
    "network unreachable",
    "host unreachable",
    "connection refused",
    "TTL expired",
    "command not supported",
    "address type not supported",
};
inline constexpr char kTextSocksReplyUnassigned[] = "unassigned code";

}  // namespace kelvo

#endif  // KELVO_SINK_TEXTS_H_
