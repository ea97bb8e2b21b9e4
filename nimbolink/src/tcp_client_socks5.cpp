// TCPClient_Socks5: the public face of the engine (engine.h).
//
// The face keeps the client's settings and its current connection; the
// loop that serves the client does the socket work. Every operation here
// only takes short locks and posts work to the loop: none waits for the
// loop thread, except the destructor, which joins a loop of the client's
// own when it is not itself running on it.
//
// Unloading. A client destroyed on its own loop thread (the worker releasing
// itself from a callback) leaves that thread running our code for a moment
// after the worker is gone. KeepModuleLoaded() pins the module that holds
// this code, so a host that unloads it right after cannot pull the code from
// under the thread.
#include "nimbo2/tcp_client_socks5.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <arpa/inet.h>
#include <dlfcn.h>
#endif

#include "engine.h"

namespace Nimbo2 {

namespace {

net::Health Resolve(const LinkHealthLimits& l) {
  net::Health h;
  h.idleMs = l.keepAliveIdleMs ? l.keepAliveIdleMs : kKeepAliveIdleMs;
  h.intervalMs = l.keepAliveIntervalMs ? l.keepAliveIntervalMs : kKeepAliveIntervalMs;
  h.probes = l.keepAliveProbes ? l.keepAliveProbes : kKeepAliveProbes;
  // Where TCP_USER_TIMEOUT is set, Linux ends a keep-alive once it has run
  // that long with a probe out, whatever the count: the default makes the
  // two the same moment.
  h.unacknowledgedMs =
      l.unacknowledgedMs ? l.unacknowledgedMs : h.idleMs + h.intervalMs * h.probes;
  h.stallMs = l.sendStallMs ? l.sendStallMs : kSendStallMs;
  return h;
}

// Starts an attempt with the client's settings; `target` fills in, under
// the client's lock, what the attempt is to (and may refuse it).
template <typename Target>
bool StartAttempt(const std::shared_ptr<ClientState>& state, Target target) {
  ClientState* const d = state.get();
  std::shared_ptr<Conn> conn;
  std::shared_ptr<Conn> replaced;
  try {
    std::lock_guard<std::mutex> lock(d->mu);
    // The wait was asked for this call's attempt, whether it starts or not.
    const uint32_t delayMs = std::exchange(d->nextDelayMs, 0u);
    if (d->stopped.load(std::memory_order_relaxed)) return false;
    if (d->current) {
      std::lock_guard<std::mutex> clock(d->current->mu());
      // An attempt under way or a connection up stays; one that ended and
      // whose end was not taken yet is replaced, unheard.
      if (!d->current->EndedLocked()) return false;
    }
    if (!d->loop) {
      int error = 0;
      if (d->shared) {
        d->loop = LoopGroup::Shared().Acquire(&error);
        d->loopShared = true;
      } else {
        d->loop = Loop::Make(false, &error);
        d->loopShared = false;
        if (d->loop && !d->loop->Start("kelvo-net", state, &error)) d->loop.reset();
      }
      if (!d->loop) return false;
    }
    Conn::Attempt a{};
    a.viaProxy = d->haveProxy;
    a.proxyIp = d->proxy.address;
    a.proxyPort = d->proxy.port;
    a.proxyHost = d->proxyHost;
    a.proxyHostKind = d->proxyHostKind;
    std::memcpy(a.proxyIp6, d->proxyIp6, sizeof a.proxyIp6);
    a.timeoutMs = d->timeoutMs;
    a.nextAddressDelayMs = d->nextAddressDelayMs;
    a.health = Resolve(d->limits);
    a.inboxLimit = d->inboxLimit;
    a.security = d->security;
    a.startDelayMs = delayMs;
    target(a);
    const uint64_t epoch = ++d->epochs;
    conn = std::make_shared<Conn>(state, d->loop, epoch, a);
    replaced = std::move(d->current);
    d->current = conn;
    d->currentEpoch.store(epoch, std::memory_order_release);
  } catch (...) {
    return false;  // out of memory: this attempt did not start
  }
  if (replaced) replaced->Close();
  conn->loop().Post(conn, Loop::kStart);
  return true;
}

// A host text as ConnectTo and SetProxyHost take it: its kind, its text
// without brackets, and a literal's address.
struct HostText {
  HostKind kind = HostKind::kInvalid;
  std::string bare;
  uint32_t ip = 0;
  uint8_t ip6[16] = {};

  explicit HostText(const char* host) {
    kind = ClassifyHost(host, &bare);
    if (kind == HostKind::kIpv4) {
      // Four parts of 0..255 (checked): each shifts in.
      uint32_t part = 0;
      for (const char c : bare) {
        if (c == '.') {
          ip = (ip << 8) | part;
          part = 0;
        } else {
          part = part * 10 + static_cast<uint32_t>(c - '0');
        }
      }
      ip = (ip << 8) | part;
    } else if (kind == HostKind::kIpv6 && !net::ParseIpv6(bare, ip6)) {
      kind = HostKind::kInvalid;
    }
  }
};

}  // namespace

TCPClient_Socks5::TCPClient_Socks5(MsgWorker* worker)
    : state_(std::make_shared<ClientState>(worker)) {}

TCPClient_Socks5::~TCPClient_Socks5() {
  ClientState* const d = state_.get();
  std::shared_ptr<Conn> old;
  std::shared_ptr<Loop> loop;
  bool shared;
  {
    std::lock_guard<std::mutex> lock(d->mu);
    d->stopped.store(true, std::memory_order_release);
    old = std::move(d->current);
    d->current.reset();
    d->requestedClose = false;
    d->currentEpoch.store(++d->epochs, std::memory_order_release);
    loop = std::move(d->loop);
    d->loop.reset();
    shared = d->loopShared;
    // On the loop thread the worker is being destroyed (it deleted us from
    // one of its calls): forget it, so not even MsgThreadEnd reaches it.
    if (loop && loop->OnThread()) d->forgetWorker = true;
  }
  if (old) old->Close();
  if (loop) {
    if (shared) {
      LoopGroup::Shared().Release(loop);
    } else {
      loop->Stop();  // MsgThreadEnd on the way, unless forgotten
    }
  }
  Detach();
  // A resolver thread of ours may run on after this (its answer unheard).
  ReapResolvers();
}

void TCPClient_Socks5::Detach() {
  ClientState* const d = state_.get();
  std::unique_lock<std::mutex> lock(d->mu);
  d->worker = nullptr;
  d->inboxWorker = nullptr;
  d->notes = nullptr;
  if (d->calling && d->callingThread != std::this_thread::get_id()) {
    d->callEnded.wait(lock, [d] { return !d->calling; });
  }
}

void TCPClient_Socks5::SetProxyServer(tagProxyInfo& info) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->proxy = info;
  state_->haveProxy = true;
  state_->proxyHost.clear();
  state_->proxyHostKind = HostKind::kInvalid;
}

bool TCPClient_Socks5::SetProxyHost(const char* host, uint16_t port) {
  if (port == 0) return false;
  try {
    const HostText text(host);
    if (text.kind == HostKind::kInvalid) return false;
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->proxy = tagProxyInfo{};
    state_->proxy.address = text.ip;
    state_->proxy.port = port;
    state_->proxyHost = text.bare;
    state_->proxyHostKind = text.kind;
    std::memcpy(state_->proxyIp6, text.ip6, sizeof text.ip6);
    state_->haveProxy = true;
  } catch (...) {
    return false;
  }
  return true;
}

void TCPClient_Socks5::CancelProxyServer() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->haveProxy = false;
  state_->proxyHost.clear();
  state_->proxyHostKind = HostKind::kInvalid;
}

void TCPClient_Socks5::SetConnectTimeoutMs(uint32_t ms) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->timeoutMs = ms ? ms : kConnectTimeoutMs;
}

void TCPClient_Socks5::DelayNextConnect(uint32_t ms) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->nextDelayMs = ms;
}

void TCPClient_Socks5::SetNextAddressDelayMs(uint32_t ms) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->nextAddressDelayMs = ms ? ms : kNextAddressDelayMs;
}

void TCPClient_Socks5::SetLinkHealthLimits(const LinkHealthLimits& limits) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->limits = limits;
}

void TCPClient_Socks5::SetLinkSecurity(const LinkSecurity& security) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->security = security;
}

void TCPClient_Socks5::SetInboxWorker(InboxWorker* inbox) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->inboxWorker = inbox;
}

void TCPClient_Socks5::SetInboxLimit(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->inboxLimit = bytes == 0 ? kDefaultInboxLimitBytes : std::max(bytes, kMinInboxLimitBytes);
}

void TCPClient_Socks5::SetLinkNoteWorker(LinkNoteWorker* notes) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->notes = notes;
}

bool TCPClient_Socks5::UseSharedLoop(bool shared) {
  ClientState* const d = state_.get();
  std::shared_ptr<Loop> old;
  bool oldShared;
  {
    std::lock_guard<std::mutex> lock(d->mu);
    if (d->shared == shared) return true;
    if (d->stopped.load(std::memory_order_relaxed) || d->current || d->requestedClose) return false;
    d->shared = shared;
    // The loop of the connections that ended goes; the next Connect makes
    // or joins one of the new kind. A closed connection that still flushes
    // keeps its loop alive until it is done.
    old = std::move(d->loop);
    d->loop.reset();
    oldShared = d->loopShared;
  }
  if (old) {
    if (oldShared) {
      LoopGroup::Shared().Release(old);
    } else {
      old->Stop();
    }
  }
  return true;
}

bool TCPClient_Socks5::SetSharedLoopThreads(uint32_t threads) {
  return LoopGroup::Shared().SetThreads(threads);
}

bool TCPClient_Socks5::SharedLoopRunning() { return LoopGroup::Shared().Running(); }

uint32_t TCPClient_Socks5::LinkTuningApplied() const {
  return state_->tuning.load(std::memory_order_relaxed);
}

bool TCPClient_Socks5::Connect(sockaddr_in address) {
  return StartAttempt(state_, [&](Conn::Attempt& a) {
    a.ip = ntohl(address.sin_addr.s_addr);
    a.port = ntohs(address.sin_port);
  });
}

bool TCPClient_Socks5::ConnectTo(const char* host, uint16_t port) {
  if (port == 0) return false;
  try {
    const HostText text(host);
    if (text.kind == HostKind::kInvalid) return false;
    return StartAttempt(state_, [&](Conn::Attempt& a) {
      a.ip = text.ip;
      a.port = port;
      a.host = text.bare;
      a.hostKind = text.kind;
      std::memcpy(a.ip6, text.ip6, sizeof a.ip6);
      // The name the host asked for is the one the certificate must carry,
      // unless another was set; an IPv6 literal has none to give (SNI
      // carries no address, and certificates are checked by name here).
      TlsConfig& tls = a.security.tlsConfig;
      if (a.security.tls && tls.serverName.empty() && text.kind != HostKind::kIpv6) {
        tls.serverName = text.bare;
      }
    });
  } catch (...) {
    return false;
  }
}

bool TCPClient_Socks5::SendMsg(void*, void* msg, int len) {
  if (msg == nullptr || len < kMinMessageLength || len > kMaxMessageLength) return false;
  std::shared_ptr<Conn> c;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    c = state_->current;
  }
  if (!c) return false;
  try {
    return c->Send(static_cast<const uint8_t*>(msg), static_cast<std::size_t>(len));
  } catch (...) {
    return false;
  }
}

bool TCPClient_Socks5::CloseSocket(bool notify) {
  ClientState* const d = state_.get();
  std::shared_ptr<Conn> old;
  bool owed = false;
  {
    std::lock_guard<std::mutex> lock(d->mu);
    if (d->stopped.load(std::memory_order_relaxed)) return true;
    old = std::move(d->current);
    d->current.reset();
    d->currentEpoch.store(++d->epochs, std::memory_order_release);
    if (old && notify) {
      std::lock_guard<std::mutex> clock(old->mu());
      // Owed whatever comes after it (a new attempt included), until the
      // worker takes it or the client is destroyed.
      owed = old->StateLocked() == 2;
      if (owed) d->requestedClose = true;
    }
  }
  if (old) {
    old->Close();
    if (owed) old->loop().Post(old, Loop::kNotifyClosed);
  }
  return true;
}

bool TCPClient_Socks5::Take(InboxItem* item) { return state_->Take(item); }

void TCPClient_Socks5::Done(const InboxItem& item, std::size_t bytes, uint32_t messages) {
  state_->Done(item, bytes, messages);
}

void TCPClient_Socks5::DoneNote(const InboxItem& item) { state_->DoneNote(item); }

void TCPClient_Socks5::DoneReport(const InboxItem& item) { state_->DoneReport(item); }

bool TCPClient_Socks5::Current(const InboxItem& item) const { return state_->Current(item); }

uint32_t TCPClient_Socks5::PendingEvents() const { return state_->PendingEvents(); }

bool TCPClient_Socks5::OnMessageThread() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->loop && state_->loop->OnThread();
}

int TCPClient_Socks5::GetConnectState() const {
  std::shared_ptr<Conn> c;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    c = state_->current;
  }
  if (!c) return 0;
  std::lock_guard<std::mutex> lock(c->mu());
  return c->StateLocked();
}

bool TCPClient_Socks5::HasConnection() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->current != nullptr || state_->requestedClose;
}

void KeepModuleLoaded() {
  static std::once_flag once;
  std::call_once(once, [] {
#if defined(_WIN32)
    HMODULE self = nullptr;
    (void)::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
        reinterpret_cast<LPCWSTR>(&KeepModuleLoaded), &self);
#else
    // RTLD_NOLOAD finds the module already loaded; RTLD_NODELETE makes every
    // later dlclose leave it mapped. The handle itself is not needed.
    Dl_info info;
    if (::dladdr(reinterpret_cast<void*>(&KeepModuleLoaded), &info) != 0 &&
        info.dli_fname != nullptr) {
      (void)::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
#endif
  });
}

uint64_t TCPClient_Socks5::BytesReceived() const { return state_->bytesIn.load(); }
uint64_t TCPClient_Socks5::BytesSent() const { return state_->bytesOut.load(); }
uint64_t TCPClient_Socks5::MessagesReceived() const { return state_->messagesIn.load(); }

}  // namespace Nimbo2
