#include "harness.h"

#include <cstring>
#include <memory>

#include "nimbo2/tcp_client_socks5.h"

namespace kelvo {
namespace fuzz {

namespace {

// Accepts every request without any network.
class NullSocket : public Nimbo2::TCPClient_Socks5 {
 public:
  explicit NullSocket(Nimbo2::MsgWorker* worker) : Nimbo2::TCPClient_Socks5(worker) {}
  void SetProxyServer(Nimbo2::tagProxyInfo&) override {}
  bool Connect(sockaddr_in) override { return true; }
  bool SendMsg(void*, void*, int) override { return true; }
  bool CloseSocket(bool) override { return true; }
};

// Delivers `bytes` as one message of `length` bytes (the header's length
// word is made to agree).
void DeliverExact(ImServerClient* client, const uint8_t* bytes, std::size_t length) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
  std::memcpy(buffer.get(), bytes, length);
  buffer[0] = static_cast<uint8_t>(length);
  buffer[1] = static_cast<uint8_t>((buffer[1] & 0x80) | ((length >> 8) & 0x7F));
  client->HandleMessage(buffer.get(), static_cast<uint32_t>(length), 0, 0);
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, static_cast<uint16_t>(v));
  Put16(p + 2, static_cast<uint16_t>(v >> 16));
}

}  // namespace

// Calls back into the client from inside every callback, as a host may.
class Harness::Sink final : public IImClientSink {
 public:
  Sink(uint8_t mode) : mode_(mode) {}
  ImServerClient* client = nullptr;
  bool released = false;

  bool KELVO_CALL IsValid() override { return true; }
  bool KELVO_CALL Release() override { return true; }
  void* KELVO_CALL QueryInterface(const GUID&, uint32_t) override {
    return static_cast<IImClientSink*>(this);
  }
  // Hears every callback first (differential tests); null in fuzzing.
  IImClientSink* observer = nullptr;

  void KELVO_CALL OnConnect(uint32_t s) override {
    if (observer) observer->OnConnect(s);
    Poke(0);
  }
  void KELVO_CALL OnClose(uint32_t r) override {
    if (observer) observer->OnClose(r);
    Poke(0);
  }
  void KELVO_CALL OnServerInfo() override {
    if (observer) observer->OnServerInfo();
    Poke(0);
  }
  void KELVO_CALL OnLoginResult(uint32_t r, const char* text) override {
    if (observer) observer->OnLoginResult(r, text);
    Read(text);
  }
  void KELVO_CALL OnLogout() override {
    if (observer) observer->OnLogout();
    Poke(0);
  }
  void KELVO_CALL OnAddUserResult(uint32_t r, const UserRecord* u) override {
    if (observer) observer->OnAddUserResult(r, u);
    Poke(u->userId);
  }
  void KELVO_CALL OnRemoveUserResult(uint32_t r, uint32_t id) override {
    if (observer) observer->OnRemoveUserResult(r, id);
    Poke(id);
  }
  void KELVO_CALL OnAddGroupResult(uint32_t r, const GroupRecord* g) override {
    if (observer) observer->OnAddGroupResult(r, g);
    Poke(g->groupId);
  }
  void KELVO_CALL OnDeleteGroupResult(uint32_t r, uint32_t id) override {
    if (observer) observer->OnDeleteGroupResult(r, id);
    Poke(id);
  }
  void KELVO_CALL OnUpdateGroupResult(uint32_t r, uint32_t id) override {
    if (observer) observer->OnUpdateGroupResult(r, id);
    Poke(id);
  }
  void KELVO_CALL OnMoveUserResult(uint32_t r, uint32_t id) override {
    if (observer) observer->OnMoveUserResult(r, id);
    Poke(id);
  }
  void KELVO_CALL OnChatMessage(MessageKind k, uint32_t id, const char* t, uint8_t a, uint8_t b,
                                uint8_t c) override {
    if (observer) observer->OnChatMessage(k, id, t, a, b, c);
    Read(t);
    Poke(id);
  }
  void KELVO_CALL OnChatMessageEx(MessageKind k, uint32_t id, double v, const char* t, uint8_t a,
                                  uint8_t b, uint8_t c) override {
    if (observer) observer->OnChatMessageEx(k, id, v, t, a, b, c);
    Read(t);
    Poke(id);
  }
  void KELVO_CALL OnOfflineMessage(MessageKind k, uint32_t id, double v, const char* t, uint8_t a,
                                   uint8_t b, uint8_t c, const void* block, uint32_t x) override {
    if (observer) observer->OnOfflineMessage(k, id, v, t, a, b, c, block, x);
    Read(t);
    volatile uint8_t sum = 0;
    for (int i = 0; i < 38; ++i) sum = static_cast<uint8_t>(sum + static_cast<const uint8_t*>(block)[i]);
    Poke(id);
  }
  void KELVO_CALL OnAddUserRequest(uint32_t id) override {
    if (observer) observer->OnAddUserRequest(id);
    Poke(id);
  }
  void KELVO_CALL OnAddUserReply(uint32_t r, const UserRecord* u) override {
    if (observer) observer->OnAddUserReply(r, u);
    Poke(u->userId);
  }
  void KELVO_CALL OnOnlineStateChanged(uint32_t id) override {
    if (observer) observer->OnOnlineStateChanged(id);
    Poke(id);
  }
  void KELVO_CALL OnUserEnterGameServer(uint32_t id) override {
    if (observer) observer->OnUserEnterGameServer(id);
    Poke(id);
  }
  void KELVO_CALL OnUserLeaveGameServer(uint32_t id) override {
    if (observer) observer->OnUserLeaveGameServer(id);
    Poke(id);
  }
  void KELVO_CALL OnLog(const char* text) override {
    if (observer) observer->OnLog(text);
    Read(text);
  }
  void KELVO_CALL OnSearchUserResult(const SearchUserResult* r) override {
    if (observer) observer->OnSearchUserResult(r);
    Poke(r->value1);
  }
  void KELVO_CALL OnSearchUserListItem(const UserRecord* u) override {
    if (observer) observer->OnSearchUserListItem(u);
    Poke(u->userId);
  }
  void KELVO_CALL OnSearchUserListEnd(uint32_t n) override {
    if (observer) observer->OnSearchUserListEnd(n);
    Poke(0);
  }
  bool KELVO_CALL OnEnumUser(uint32_t x, const UserRecord* u) override {
    if (observer) observer->OnEnumUser(x, u);
    return Visit(u->userId);
  }
  bool KELVO_CALL OnEnumAddRequest(uint32_t x, const UserRecord* u) override {
    if (observer) observer->OnEnumAddRequest(x, u);
    return Visit(u->userId);
  }
  bool KELVO_CALL OnEnumGroup(uint32_t x, const GroupRecord* g) override {
    if (observer) observer->OnEnumGroup(x, g);
    return Visit(g->groupId);
  }

 private:
  // Touches every byte of a text handed over: an unterminated text or one
  // that lies outside its message shows up as an over-read.
  void Read(const char* text) {
    volatile std::size_t n = std::strlen(text);
    (void)n;
  }

  bool Visit(uint32_t id) {
    Poke(id);
    return (mode_ & 0x40) == 0;
  }

  void Poke(uint32_t id) {
    if (client == nullptr || released || depth_ > 2) return;
    ++depth_;
    UserRecord u;
    GroupRecord g;
    if (mode_ & 0x01) {
      client->GetUser(id, &u);
      client->GetAddRequest(id, &u);
      client->GetGroup(id, &g);
      if (const UserRecord* me = client->GetMyInfo()) Read(me->name[31] == 0 ? me->name : "");
      client->IsGm();
    }
    if (mode_ & 0x02) {
      client->EnumUsers(0, 0, 0, 0, 0);
      client->EnumAddRequests(0);
      client->EnumGroups(0, 0);
    }
    if (mode_ & 0x04) client->ReplyAddRequest(id, 0, true);
    if (mode_ & 0x08) client->EnterGameServer(static_cast<uint16_t>(id));
    if ((mode_ & 0x10) && (id & 1)) client->Close();
    if ((mode_ & 0x20) && (id & 3) == 3) {
      released = true;
      client->Release();
    }
    --depth_;
  }

  uint8_t mode_;
  int depth_ = 0;
};

Harness::Harness(uint8_t mode, bool pump, IImClientSink* observer)
    : sink_(new Sink(mode)), pump_(pump) {
  client_ = new ImServerClient([](Nimbo2::MsgWorker* w) { return new NullSocket(w); });
  sink_->observer = observer;
  if (pump_) client_->SetDeliveryMode(KELVO_DELIVERY_PUMP);
  // Known state for the input to meet: own data, two friends, a group, a
  // pending request (ids 1, 2, 3 and one with the top bit set).
  uint8_t mine[56] = {0, 0, 0x2C, 48};
  Put32(mine + 4, 7);
  std::memcpy(mine + 24, "me", 2);
  DeliverExact(client_, mine, sizeof mine);
  uint8_t users[4 + 2 * 22] = {0, 0, 0x2C, 47};
  for (int i = 0; i < 2; ++i) {
    uint8_t* e = users + 4 + 22 * i;
    e[0] = 22;
    Put32(e + 1, i == 0 ? 1u : 0x80000003u);
    e[8] = 2;
    Put16(e + 9, 3);
    std::memcpy(e + 17, "amy", 3);
  }
  DeliverExact(client_, users, sizeof users);
  uint8_t groups[4 + 12] = {0, 0, 0x2C, 46, 12};
  Put16(groups + 5, 3);
  Put16(groups + 7, 1);
  std::memcpy(groups + 12, "grp", 3);
  DeliverExact(client_, groups, sizeof groups);
  uint8_t request[60] = {0, 0, 0x2C, 64};
  Put32(request + 4, 2);
  DeliverExact(client_, request, sizeof request);
  if (pump_) client_->Pump(UINT32_MAX);
  // Attached last, so the sink's calls back into the client start with the
  // input, not with the set-up above.
  client_->SetSink(sink_);
  sink_->client = client_;
}

Harness::~Harness() {
  if (client_ != nullptr && !sink_->released) client_->Release();
  delete sink_;
}

void Harness::Deliver(const uint8_t* data, std::size_t size) {
  if (client_ == nullptr || sink_->released) {
    client_ = nullptr;
    return;
  }
  // The library hands over exactly L bytes; build that from the input,
  // taking L from the input's own length word when it has one.
  std::size_t length = size;
  if (size >= 2) length = static_cast<std::size_t>((data[0] | (data[1] << 8)) & 0x7FFF);
  if (length < 4) length = 4;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
  std::memset(buffer.get(), 0, length);
  std::memcpy(buffer.get(), data, size < length ? size : length);
  buffer[0] = static_cast<uint8_t>(length);
  buffer[1] = static_cast<uint8_t>((buffer[1] & 0x80) | ((length >> 8) & 0x7F));
  client_->HandleMessage(buffer.get(), static_cast<uint32_t>(length), 0, 0);
  // Pump mode: queued as the network thread would, then run as the host's
  // frame would run it (the queue keeps its own copy of the bytes).
  if (pump_ && !sink_->released) client_->Pump(UINT32_MAX);
  if (sink_->released) client_ = nullptr;
}

}  // namespace fuzz
}  // namespace kelvo
