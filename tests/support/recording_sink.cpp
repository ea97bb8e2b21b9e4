#include "support/recording_sink.h"

#include <cstdio>
#include <cstring>

namespace kelvo {
namespace test {

std::string Escape(const void* bytes, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '\'') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

std::string Escape(const char* text) {
  if (text == nullptr) return "NULL";
  return "'" + Escape(text, std::strlen(text)) + "'";
}

namespace {
// A fixed-width name field: up to its first 0, at most `width` bytes.
std::string FieldText(const char* field, std::size_t width) {
  std::size_t n = 0;
  while (n < width && field[n] != 0) ++n;
  return "'" + Escape(field, n) + "'";
}
std::string U(uint32_t v) { return std::to_string(v); }
}  // namespace

std::string Describe(const UserRecord& r) {
  return "U{" + U(r.userId) + "," + U(r.relation) + "," + U(r.groupId) + "," +
         U(r.gameServerId) + "," + U(r.gmLevel) + "," + U(r.attr1) + "," + U(r.attr2) + "," +
         U(r.attr3) + "," + U(r.attrFlag) + "," + U(r.onlineState) + "," +
         FieldText(r.name, sizeof r.name) + "}";
}

std::string Describe(const GroupRecord& r) {
  return "G{" + U(r.groupKind) + "," + U(r.groupId) + "," + U(r.parentGroupId) + "," +
         U(r.groupAttr) + "," + FieldText(r.name, sizeof r.name) + "}";
}

namespace {
std::string Rec(const UserRecord* r) { return r ? Describe(*r) : "NULL"; }
std::string Rec(const GroupRecord* r) { return r ? Describe(*r) : "NULL"; }
std::string D(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}
}  // namespace

void* RecordingSink::QueryInterface(const GUID& iid, uint32_t version) {
  Record("QueryInterface", std::string(std::memcmp(&iid, &IID_IImClientSink, sizeof iid) == 0
                                           ? "IID_IImClientSink"
                                           : "other") +
                               "," + U(version));
  if (refuseQuery) return nullptr;
  return static_cast<IImClientSink*>(this);
}

void RecordingSink::Record(const std::string& name, const std::string& args) {
  log += name + "(" + args + ")\n";
  if (onCall) onCall(name);
}

void RecordingSink::OnConnect(uint32_t s) { Record("OnConnect", U(s)); }
void RecordingSink::OnClose(uint32_t r) { Record("OnClose", U(r)); }
void RecordingSink::OnServerInfo() { Record("OnServerInfo", ""); }
void RecordingSink::OnLoginResult(uint32_t r, const char* t) {
  Record("OnLoginResult", U(r) + "," + Escape(t));
}
void RecordingSink::OnLogout() { Record("OnLogout", ""); }
void RecordingSink::OnAddUserResult(uint32_t r, const UserRecord* u) {
  Record("OnAddUserResult", U(r) + "," + Rec(u));
}
void RecordingSink::OnRemoveUserResult(uint32_t r, uint32_t id) {
  Record("OnRemoveUserResult", U(r) + "," + U(id));
}
void RecordingSink::OnAddGroupResult(uint32_t r, const GroupRecord* g) {
  Record("OnAddGroupResult", U(r) + "," + Rec(g));
}
void RecordingSink::OnDeleteGroupResult(uint32_t r, uint32_t id) {
  Record("OnDeleteGroupResult", U(r) + "," + U(id));
}
void RecordingSink::OnUpdateGroupResult(uint32_t r, uint32_t id) {
  Record("OnUpdateGroupResult", U(r) + "," + U(id));
}
void RecordingSink::OnMoveUserResult(uint32_t r, uint32_t id) {
  Record("OnMoveUserResult", U(r) + "," + U(id));
}
void RecordingSink::OnChatMessage(MessageKind k, uint32_t s, const char* t, uint8_t a, uint8_t b,
                                  uint8_t c) {
  Record("OnChatMessage", U(k) + "," + U(s) + "," + Escape(t) + "," + U(a) + "," + U(b) + "," + U(c));
}
void RecordingSink::OnChatMessageEx(MessageKind k, uint32_t s, double v, const char* t, uint8_t a,
                                    uint8_t b, uint8_t c) {
  Record("OnChatMessageEx", U(k) + "," + U(s) + "," + D(v) + "," + Escape(t) + "," + U(a) + "," +
                                U(b) + "," + U(c));
}
void RecordingSink::OnOfflineMessage(MessageKind k, uint32_t s, double v, const char* t, uint8_t a,
                                     uint8_t b, uint8_t c, const void* block, uint32_t extra) {
  Record("OnOfflineMessage", U(k) + "," + U(s) + "," + D(v) + "," + Escape(t) + "," + U(a) + "," +
                                 U(b) + "," + U(c) + ",[" +
                                 (block ? Escape(block, 38) : std::string("NULL")) + "]," +
                                 U(extra));
}
void RecordingSink::OnAddUserRequest(uint32_t id) { Record("OnAddUserRequest", U(id)); }
void RecordingSink::OnAddUserReply(uint32_t r, const UserRecord* u) {
  Record("OnAddUserReply", U(r) + "," + Rec(u));
}
void RecordingSink::OnOnlineStateChanged(uint32_t id) { Record("OnOnlineStateChanged", U(id)); }
void RecordingSink::OnUserEnterGameServer(uint32_t id) { Record("OnUserEnterGameServer", U(id)); }
void RecordingSink::OnUserLeaveGameServer(uint32_t id) { Record("OnUserLeaveGameServer", U(id)); }
void RecordingSink::OnLog(const char* t) {
  logTexts.emplace_back(t ? t : "");
  Record("OnLog", Escape(t));
}
void RecordingSink::OnSearchUserResult(const SearchUserResult* r) {
  Record("OnSearchUserResult", r ? U(r->value1) + "," + U(r->value2) + "," + U(r->value3) + "," +
                                       U(r->value4)
                                 : std::string("NULL"));
}
void RecordingSink::OnSearchUserListItem(const UserRecord* u) {
  Record("OnSearchUserListItem", Rec(u));
}
void RecordingSink::OnSearchUserListEnd(uint32_t n) { Record("OnSearchUserListEnd", U(n)); }
bool RecordingSink::OnEnumUser(uint32_t ctx, const UserRecord* u) {
  Record("OnEnumUser", U(ctx) + "," + Rec(u));
  return enumResult;
}
bool RecordingSink::OnEnumAddRequest(uint32_t ctx, const UserRecord* u) {
  Record("OnEnumAddRequest", U(ctx) + "," + Rec(u));
  return enumResult;
}
bool RecordingSink::OnEnumGroup(uint32_t ctx, const GroupRecord* g) {
  Record("OnEnumGroup", U(ctx) + "," + Rec(g));
  return enumResult;
}

}  // namespace test
}  // namespace kelvo
