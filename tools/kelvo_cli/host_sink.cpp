#include "host_sink.h"

#include <cstdio>
#include <cstring>

#include "gbk.h"

namespace kelvo_cli {
namespace {

std::string U(uint32_t v) { return std::to_string(v); }

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string OnlineName(uint32_t state) {
  switch (state) {
    case 1: return "offline";
    case 2: return "online";
    default: return "state " + U(state);
  }
}

std::string Values(uint8_t v1, uint8_t v2, uint8_t v3) {
  return "values=" + U(v1) + "/" + U(v2) + "/" + U(v3);
}

std::string Double(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

std::string Quote(const std::string& utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string QuoteGbk(const char* text) {
  if (text == nullptr) return "(null)";
  return Quote(GbkToUtf8(text));
}

std::string DescribeUser(const kelvo::UserRecord& u) {
  std::string out = "#" + U(u.userId) + " " + Quote(GbkFieldToUtf8(u.name, sizeof u.name)) +
                    " relation=" + U(u.relation) + " group=" + U(u.groupId) +
                    " gs=" + U(u.gameServerId) + " online=" + U(u.onlineState) + "(" +
                    OnlineName(u.onlineState) + ") gm=" + U(u.gmLevel);
  if (u.attr1 != 0 || u.attr2 != 0 || u.attr3 != 0 || u.attrFlag != 0) {
    out += " attr=" + U(u.attr1) + "/" + U(u.attr2) + "/" + U(u.attr3) + "/" + U(u.attrFlag);
  }
  return out;
}

std::string DescribeGroup(const kelvo::GroupRecord& g) {
  return "#" + U(g.groupId) + " " + Quote(GbkFieldToUtf8(g.name, sizeof g.name)) +
         " kind=" + U(g.groupKind) + " parent=" + U(g.parentGroupId) + " attr=" + U(g.groupAttr);
}

std::string KindName(kelvo::MessageKind kind) {
  if (kind == kelvo::MESSAGE_KIND_CHAT) return "chat";
  if (kind == kelvo::MESSAGE_KIND_NOTICE) return "notice";
  if (kind >= kelvo::MESSAGE_KIND_SYSTEM_TYPE1 && kind <= kelvo::MESSAGE_KIND_SYSTEM_TYPE4) {
    return "system type " + U(kind - kelvo::MESSAGE_KIND_SYSTEM_TYPE1 + 1);
  }
  if (kind >= kelvo::MESSAGE_KIND_INFO_BIT0 && kind <= kelvo::MESSAGE_KIND_INFO_BIT7) {
    return "info bit " + U(kind - kelvo::MESSAGE_KIND_INFO_BIT0);
  }
  return "kind " + U(kind);
}

std::string HostSink::NameUser(uint32_t userId) {
  kelvo::UserRecord user{};
  if (client_ != nullptr && client_->GetUser(userId, &user)) {
    return "#" + U(userId) + " " + Quote(GbkFieldToUtf8(user.name, sizeof user.name));
  }
  return "#" + U(userId);
}

void* KELVO_CALL HostSink::QueryInterface(const GUID& iid, uint32_t version) {
  if (SameGuid(iid, kelvo::IID_IImClientSink) && version == kelvo::IM_INTERFACE_VERSION) {
    return static_cast<kelvo::IImClientSink*>(this);
  }
  return nullptr;
}

void KELVO_CALL HostSink::OnConnect(uint32_t state) {
  console_.Event("OnConnect " + U(state) + (state == 1 ? " connected" : " failed"));
}

void KELVO_CALL HostSink::OnClose(uint32_t reason) {
  console_.Event("OnClose " + U(reason) + " connection lost");
}

void KELVO_CALL HostSink::OnServerInfo() { console_.Event("OnServerInfo"); }

void KELVO_CALL HostSink::OnLoginResult(uint32_t result, const char* text) {
  console_.Event("OnLoginResult " + U(result) + (result == 1 ? " logged in" : " refused: ") +
                 (result == 1 ? std::string() : QuoteGbk(text)));
}

void KELVO_CALL HostSink::OnLogout() { console_.Event("OnLogout forced out by the server"); }

void KELVO_CALL HostSink::OnAddUserResult(uint32_t result, const kelvo::UserRecord* user) {
  console_.Event("OnAddUserResult " + U(result) + " " + DescribeUser(*user));
}

void KELVO_CALL HostSink::OnRemoveUserResult(uint32_t result, uint32_t userId) {
  console_.Event("OnRemoveUserResult " + U(result) + " #" + U(userId));
}

void KELVO_CALL HostSink::OnAddGroupResult(uint32_t result, const kelvo::GroupRecord* group) {
  console_.Event("OnAddGroupResult " + U(result) + " group " + DescribeGroup(*group));
}

void KELVO_CALL HostSink::OnDeleteGroupResult(uint32_t result, uint32_t groupId) {
  console_.Event("OnDeleteGroupResult " + U(result) + " group #" + U(groupId));
}

void KELVO_CALL HostSink::OnUpdateGroupResult(uint32_t result, uint32_t groupId) {
  std::string line = "OnUpdateGroupResult " + U(result) + " group #" + U(groupId);
  kelvo::GroupRecord group{};
  if (client_ != nullptr && client_->GetGroup(groupId, &group)) {
    line += " now " + Quote(GbkFieldToUtf8(group.name, sizeof group.name));
  }
  console_.Event(line);
}

void KELVO_CALL HostSink::OnMoveUserResult(uint32_t result, uint32_t userId) {
  std::string line = "OnMoveUserResult " + U(result) + " #" + U(userId);
  kelvo::UserRecord user{};
  if (client_ != nullptr && client_->GetUser(userId, &user)) {
    line += " now in group " + U(user.groupId);
  }
  console_.Event(line);
}

void KELVO_CALL HostSink::OnChatMessage(kelvo::MessageKind kind, uint32_t sender,
                                        const char* text, uint8_t v1, uint8_t v2, uint8_t v3) {
  console_.Event("OnChatMessage kind=" + U(kind) + "(" + KindName(kind) + ") from=" + U(sender) +
                 " " + QuoteGbk(text) + " " + Values(v1, v2, v3));
}

void KELVO_CALL HostSink::OnChatMessageEx(kelvo::MessageKind kind, uint32_t sender, double value,
                                          const char* text, uint8_t v1, uint8_t v2, uint8_t v3) {
  console_.Event("OnChatMessageEx kind=" + U(kind) + "(" + KindName(kind) + ") from=" +
                 U(sender) + " value=" + Double(value) + " " + QuoteGbk(text) + " " +
                 Values(v1, v2, v3));
}

void KELVO_CALL HostSink::OnOfflineMessage(kelvo::MessageKind kind, uint32_t sender,
                                           double value, const char* text, uint8_t v1,
                                           uint8_t v2, uint8_t v3, const void* /*block*/,
                                           uint32_t extra) {
  console_.Event("OnOfflineMessage kind=" + U(kind) + "(" + KindName(kind) + ") from=" +
                 U(sender) + " value=" + Double(value) + " " + QuoteGbk(text) + " " +
                 Values(v1, v2, v3) + " extra=" + U(extra));
}

void KELVO_CALL HostSink::OnAddUserRequest(uint32_t userId) {
  std::string line = "OnAddUserRequest #" + U(userId);
  kelvo::UserRecord asker{};
  if (client_ != nullptr && client_->GetAddRequest(userId, &asker)) {
    line += " " + Quote(GbkFieldToUtf8(asker.name, sizeof asker.name));
  }
  console_.Event(line + " asks to be added");
}

void KELVO_CALL HostSink::OnAddUserReply(uint32_t result, const kelvo::UserRecord* user) {
  console_.Event("OnAddUserReply " + U(result) + " " + DescribeUser(*user));
}

void KELVO_CALL HostSink::OnOnlineStateChanged(uint32_t userId) {
  std::string line = "OnOnlineStateChanged " + NameUser(userId);
  kelvo::UserRecord user{};
  if (client_ != nullptr && client_->GetUser(userId, &user)) {
    line += " is " + OnlineName(user.onlineState);
  }
  console_.Event(line);
}

void KELVO_CALL HostSink::OnUserEnterGameServer(uint32_t userId) {
  std::string line = "OnUserEnterGameServer " + NameUser(userId);
  kelvo::UserRecord user{};
  if (client_ != nullptr && client_->GetUser(userId, &user)) line += " gs=" + U(user.gameServerId);
  console_.Event(line);
}

void KELVO_CALL HostSink::OnUserLeaveGameServer(uint32_t userId) {
  console_.Event("OnUserLeaveGameServer " + NameUser(userId));
}

void KELVO_CALL HostSink::OnLog(const char* text) { console_.Event("OnLog " + QuoteGbk(text)); }

void KELVO_CALL HostSink::OnSearchUserResult(const kelvo::SearchUserResult* r) {
  console_.Event("OnSearchUserResult " + U(r->value1) + " " + U(r->value2) + " " + U(r->value3) +
                 " " + U(r->value4));
}

void KELVO_CALL HostSink::OnSearchUserListItem(const kelvo::UserRecord* user) {
  console_.Event("OnSearchUserListItem " + DescribeUser(*user));
}

void KELVO_CALL HostSink::OnSearchUserListEnd(uint32_t count) {
  console_.Event("OnSearchUserListEnd count=" + U(count));
}

bool KELVO_CALL HostSink::OnEnumUser(uint32_t /*context*/, const kelvo::UserRecord* user) {
  ++enumCount_;
  console_.Event("OnEnumUser " + DescribeUser(*user));
  return true;
}

bool KELVO_CALL HostSink::OnEnumAddRequest(uint32_t /*context*/, const kelvo::UserRecord* user) {
  ++enumCount_;
  console_.Event("OnEnumAddRequest " + DescribeUser(*user));
  return true;
}

bool KELVO_CALL HostSink::OnEnumGroup(uint32_t /*context*/, const kelvo::GroupRecord* group) {
  ++enumCount_;
  console_.Event("OnEnumGroup " + DescribeGroup(*group));
  return true;
}

}  // namespace kelvo_cli
