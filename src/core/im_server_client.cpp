#include "core/im_server_client.h"

#include <cstring>

#include "core/platform.h"

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
  if (socket_ != nullptr) socket_->SetBatchWorker(&batch_);
  sink_ = nullptr;
  std::memset(&MyInfo, 0, sizeof MyInfo);
}

ImServerClient::~ImServerClient() {
  {
    // From here on deliveries that are waiting for the lock do nothing, and
    // the sink hears nothing more.
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    closing_ = true;
    sink_ = nullptr;
    if (socket_ != nullptr) ClearLoginData();
  }
  // Outside the lock: destroying the socket client joins its message thread,
  // which may be waiting for the lock right now.
  if (socket_ != nullptr) {
    socket_->CloseSocket(false);
    delete socket_;
    socket_ = nullptr;
  }
  // The tables go with the members, after the socket client.
}

void ImServerClient::Enter() {
  mutex_.lock();
  ++depth_;
}

void ImServerClient::Leave() {
  const bool destroy = --depth_ == 0 && releasePending_;
  mutex_.unlock();
  if (destroy) delete this;
}

ImServerClient::CallScope::CallScope(ImServerClient* client) : client_(client) {
  client_->Enter();
}

ImServerClient::CallScope::~CallScope() { client_->Leave(); }

bool ImServerClient::CallScope::live() const { return !client_->closing_; }

bool ImServerClient::IsValid() {
  return platform::IsValidAddress(this, sizeof(*this), true);
}

bool ImServerClient::Release() {
  if (!IsValid()) return true;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (releasePending_) return true;
    if (depth_ > 0) {
      // Called from inside a callback: the caller's frames still use this
      // object. Detach the sink now; the outermost CallScope deletes.
      releasePending_ = true;
      sink_ = nullptr;
      return true;
    }
  }
  delete this;
  return true;
}

void* ImServerClient::QueryInterface(const GUID& iid, uint32_t version) {
  if (SameGuid(iid, IID_IImClient) && VersionAccepted(version)) {
    return static_cast<IImClient*>(this);
  }
  if (SameGuid(iid, IID_IImBase) && VersionAccepted(version)) {
    return static_cast<IImClient*>(this);
  }
  return nullptr;
}

bool ImServerClient::SetSink(IImBase* host) {
  CallScope scope(this);
  if (releasePending_) return false;
  IImClientSink* sink = nullptr;
  if (host != nullptr) {
    sink = static_cast<IImClientSink*>(host->QueryInterface(IID_IImClientSink, IM_INTERFACE_VERSION));
  }
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
}

}  // namespace kelvo
