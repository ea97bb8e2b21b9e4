#include "core/im_server_client.h"

#include <cstring>

#include "core/platform.h"
#include "core/shared_pump.h"

namespace kelvo {

namespace {

Nimbo2::TCPClient_Socks5* MakeRealSocket(Nimbo2::MsgWorker* worker) {
  return new Nimbo2::TCPClient_Socks5(worker);
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// Major 1, minor 1, build 0 or 1; the revision byte is ignored.
bool VersionAccepted(uint32_t version) {
  const uint32_t major = version >> 24;
  const uint32_t minor = (version >> 16) & 0xFF;
  const uint32_t build = (version >> 8) & 0xFF;
  return major == 1 && minor == 1 && build <= 1;
}

}  // namespace

ImServerClient::ImServerClient() : ImServerClient(SocketFactory(MakeRealSocket)) {}

ImServerClient::ImServerClient(const SocketFactory& makeSocket) {
  // The tables are built (empty) by their member initialisers; the socket
  // client comes after them, with this object as its worker.
  socket_ = makeSocket(static_cast<Nimbo2::MsgWorker*>(this));
  if (socket_ != nullptr) socket_->SetInboxWorker(&inbox_);
  sink_ = nullptr;
  std::memset(&MyInfo, 0, sizeof MyInfo);
}

ImServerClient::~ImServerClient() {
  // A plain delete (tests, the factory's failure path) has not claimed the
  // destruction yet; Release has, and has done what follows already.
  Enter();
  const bool claimed = life_ == Life::kDying;
  if (!claimed) BeginDying();
  lock_.Unlock();
  if (!claimed) {
    if (socket_ != nullptr) socket_->Detach();
    if (sharedLoop_) SharedPump::Instance().Forget(this);
    lock_.WaitQuiet();
  }
  if (sharedLoop_) SharedPump::Instance().Leave();
  // Stops the client's own loop thread (or leaves the shared loop). What the
  // closed connection accepted still goes out before its FIN.
  if (socket_ != nullptr) {
    delete socket_;
    socket_ = nullptr;
  }
  // The tables go with the members, after the socket client.
}

void ImServerClient::BeginDying() {
  life_ = Life::kDying;
  lock_.Mark();
  sink_ = nullptr;
  if (socket_ != nullptr) {
    ClearLoginData();
    socket_->CloseSocket(false);
  }
  lock_.Close();
}

void ImServerClient::Leave() {
  if (lock_.Depth() == 1 && life_ == Life::kReleasePending) {
    BeginDying();
    lock_.Unlock();
    Destroy();
    return;
  }
  lock_.Unlock();
}

void ImServerClient::Destroy() {
  // No call from the socket client (unless this thread is inside one), then
  // no entry from the shared pumper, and no thread left inside: then the
  // object can go. In that order: a loop thread inside InboxReady may list
  // the client with the shared pumper again until Detach has waited for it.
  if (socket_ != nullptr) socket_->Detach();
  if (sharedLoop_) SharedPump::Instance().Forget(this);
  lock_.WaitQuiet();
  delete this;
}

bool ImServerClient::IsValid() {
  return platform::IsValidAddress(this, sizeof(*this), true);
}

bool ImServerClient::Release() {
  if (!IsValid()) return true;
  Enter();
  if (life_ == Life::kOpen) {
    // The sink hears nothing more from now on, also when the destruction
    // waits for the outermost exit of a callback on this thread.
    life_ = Life::kReleasePending;
    lock_.Mark();
    sink_ = nullptr;
    // Inside a callback, this thread returns into the module once the host's
    // code is done, and destroys the object on its way out: the host may
    // unload the module the moment this returns, so it stays loaded.
    if (lock_.Depth() > 1) Nimbo2::KeepModuleLoaded();
  }
  Leave();
  return true;
}

void ImServerClient::CallbackThrew(const char* format, unsigned value) {
  try {
    FormatLog(0, format, value);
  } catch (...) {
    // The host's OnLog threw as well; there is nobody else to tell.
  }
}

void* ImServerClient::QueryInterface(const GUID& iid, uint32_t version) {
  if (SameGuid(iid, IID_IImClient) && VersionAccepted(version)) {
    return static_cast<IImClient*>(this);
  }
  if (SameGuid(iid, IID_IImBase) && VersionAccepted(version)) {
    return static_cast<IImClient*>(this);
  }
  // The extensions have their own version lines: 1.0, any build.
  if (SameGuid(iid, IID_IImClientPump) && (version >> 16) == 0x0100) {
    return static_cast<IImClientPump*>(&pump_);
  }
  if (SameGuid(iid, IID_IImClientEngine) && (version >> 16) == 0x0100) {
    return static_cast<IImClientEngine*>(&engine_);
  }
  if (SameGuid(iid, IID_IImClientSecurity) && (version >> 16) == 0x0100) {
    return static_cast<IImClientSecurity*>(&securityFace_);
  }
  if (SameGuid(iid, IID_IImClientNetwork) && (version >> 16) == 0x0100) {
    return static_cast<IImClientNetwork*>(&networkFace_);
  }
  return nullptr;
}

bool ImServerClient::SetSink(IImBase* host) {
  CallScope scope(this);
  if (life_ != Life::kOpen) return false;
  IImClientSink* sink = nullptr;
  if (host != nullptr) {
    try {
      sink = static_cast<IImClientSink*>(host->QueryInterface(IID_IImClientSink, IM_INTERFACE_VERSION));
    } catch (...) {
      sink = nullptr;  // a host that throws here has given no sink
    }
  }
  // The host may have released the client from inside its QueryInterface.
  if (life_ != Life::kOpen) return false;
  sink_ = sink;
  return sink_ != nullptr;
}

const UserRecord* ImServerClient::GetMyInfo() {
  CallScope scope(this);
  return MyInfo.userId != 0 ? &MyInfo : nullptr;
}

bool ImServerClient::IsGm() {
  CallScope scope(this);
  return MyInfo.userId != 0 && MyInfo.gmLevel != 0;
}

void ImServerClient::ClearLoginData() {
  UserTable.clear();
  GroupTable.clear();
  RequestTable.clear();
  std::memset(&MyInfo, 0, sizeof MyInfo);
  login_ = LoginProgress{};
}

}  // namespace kelvo
