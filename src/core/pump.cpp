// The one delivery path (Deliver) and the two ways it runs: on the loop
// thread right after a read (network-thread mode), or on the host's thread
// inside Pump (pump mode). See the rules in im_server_client.h.
#include <chrono>

#include "core/im_server_client.h"
#include "core/platform.h"
#include "core/shared_pump.h"
#include "nimbo2/msg_head.h"

namespace kelvo {

// --- The faces the host holds. ---

template <typename Interface>
bool ImServerClient::Face<Interface>::IsValid() {
  return platform::IsValidAddress(this, sizeof(*this), true) && client_->IsValid();
}

template <typename Interface>
bool ImServerClient::Face<Interface>::Release() {
  if (!platform::IsValidAddress(this, sizeof(*this), true)) return true;
  return client_->Release();
}

template <typename Interface>
void* ImServerClient::Face<Interface>::QueryInterface(const GUID& iid, uint32_t version) {
  return client_->QueryInterface(iid, version);
}

template class ImServerClient::Face<IImClientPump>;
template class ImServerClient::Face<IImClientEngine>;
template class ImServerClient::Face<IImClientSecurity>;
template class ImServerClient::Face<IImClientNetwork>;

bool ImServerClient::PumpFace::SetDeliveryMode(uint32_t mode) {
  return client_->SetDeliveryMode(mode);
}

uint32_t ImServerClient::PumpFace::GetDeliveryMode() { return client_->GetDeliveryMode(); }

uint32_t ImServerClient::PumpFace::Pump(uint32_t maxEvents) { return client_->Pump(maxEvents); }

uint32_t ImServerClient::PumpFace::PendingEvents() { return client_->PendingEvents(); }

bool ImServerClient::PumpFace::WaitForEvents(uint32_t timeoutMs) {
  return client_->WaitForEvents(timeoutMs);
}

bool ImServerClient::EngineFace::UseSharedLoop(uint32_t enable) {
  return client_->UseSharedLoop(enable);
}

bool ImServerClient::EngineFace::SetSharedLoopThreads(uint32_t threads) {
  return Nimbo2::TCPClient_Socks5::SetSharedLoopThreads(threads);
}

uint32_t ImServerClient::EngineFace::PumpSharedLoop(uint32_t maxEvents) {
  return SharedPump::Instance().Pump(maxEvents);
}

bool ImServerClient::EngineFace::WaitSharedLoop(uint32_t timeoutMs) {
  return SharedPump::Instance().Wait(timeoutMs);
}

int64_t ImServerClient::EngineFace::SharedLoopWaitHandle() {
  return SharedPump::Instance().Handle();
}

// --- The host's side. ---

bool ImServerClient::SetDeliveryMode(uint32_t mode) {
  CallScope scope(this);
  if (!scope.live()) return false;
  if (mode != KELVO_DELIVERY_NETWORK_THREAD && mode != KELVO_DELIVERY_PUMP) return false;
  if (mode == deliveryMode_.load(std::memory_order_relaxed)) return true;
  // A connection whose events have begun in one mode (its reports
  // included, until the last one is delivered) keeps that mode.
  if (socket_ != nullptr && socket_->HasConnection()) return false;
  deliveryMode_.store(mode, std::memory_order_relaxed);
  if (socket_ != nullptr) {
    socket_->SetInboxLimit(mode == KELVO_DELIVERY_PUMP ? KELVO_PUMP_QUEUE_BYTES
                                                       : Nimbo2::kDefaultInboxLimitBytes);
  }
  return true;
}

uint32_t ImServerClient::GetDeliveryMode() {
  CallScope scope(this);
  return deliveryMode_.load(std::memory_order_relaxed);
}

uint32_t ImServerClient::PendingEvents() {
  return socket_ != nullptr ? socket_->PendingEvents() : 0;
}

uint32_t ImServerClient::Pump(uint32_t maxEvents) {
  // Another thread pumping (or this one, from inside a callback): 0 at
  // once, without waiting for the callback under way.
  std::thread::id none;
  if (!pumpingThread_.compare_exchange_strong(none, std::this_thread::get_id())) return 0;
  Enter();
  uint32_t ran = 0;
  // From inside another callback of this client the caller is in the
  // middle of an event: running more would nest events.
  if (life_ == Life::kOpen && lock_.Depth() == 1 &&
      deliveryMode_.load(std::memory_order_relaxed) == KELVO_DELIVERY_PUMP) {
    ran = Deliver(maxEvents);
  }
  pumpingThread_.store(std::thread::id());
  Leave();  // may end the object (a Release made inside a callback)
  return ran;
}

uint32_t ImServerClient::PumpWithTicket(uint64_t ticket, uint32_t maxEvents) {
  std::thread::id none;
  if (!pumpingThread_.compare_exchange_strong(none, std::this_thread::get_id())) {
    // Pumped by a thread of its own right now: it will see the events.
    lock_.WaitTicket(ticket);
    Leave();
    return 0;
  }
  lock_.WaitTicket(ticket);
  uint32_t ran = 0;
  if (life_ == Life::kOpen && deliveryMode_.load(std::memory_order_relaxed) == KELVO_DELIVERY_PUMP) {
    ran = Deliver(maxEvents);
    // Events left (the budget ran out, or more came meanwhile): listed again,
    // behind the clients that waited, while the lock still keeps the object
    // alive; the pumper does not touch it once Leave has let it go.
    if (life_ == Life::kOpen && PendingEvents() != 0) SharedPump::Instance().Ready(this);
  }
  pumpingThread_.store(std::thread::id());
  Leave();
  return ran;
}

bool ImServerClient::WaitForEvents(uint32_t timeoutMs) {
  Enter();
  bool any = false;
  // A caller inside a callback would wait for events that only the caller
  // itself can run.
  if (life_ == Life::kOpen && lock_.Depth() == 1) {
    const auto deadline = ClientLock::Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const uint64_t seen = lock_.Wakes();
      any = PendingEvents() != 0;
      if (any || life_ != Life::kOpen || ClientLock::Clock::now() >= deadline) break;
      // The lock goes while asleep; Release wakes us (and then waits for us
      // to leave) instead of waiting out the timeout.
      lock_.SleepUntil(seen, deadline);
    }
    any = any && life_ == Life::kOpen;
  } else {
    any = life_ == Life::kOpen && PendingEvents() != 0;
  }
  Leave();
  return any;
}

bool ImServerClient::UseSharedLoop(uint32_t enable) {
  CallScope scope(this);
  if (!scope.live() || enable > 1 || socket_ == nullptr) return false;
  if (lock_.Depth() > 1) return false;  // not from a callback of this client
  const bool shared = enable == 1;
  if (shared == sharedLoop_) return true;
  if (!socket_->UseSharedLoop(shared)) return false;
  sharedLoop_ = shared;
  if (shared) {
    SharedPump::Instance().Join();
  } else {
    SharedPump::Instance().Leave();
  }
  return true;
}

// --- The loop thread's side. ---

void ImServerClient::InboxReady() {
  if (deliveryMode_.load(std::memory_order_relaxed) == KELVO_DELIVERY_PUMP) {
    // Pump mode: the host runs it. Wake whoever waits for events.
    lock_.Wake();
    if (sharedLoop_) SharedPump::Instance().Ready(this);
    return;
  }
  Enter();
  if (life_ == Life::kOpen) Deliver(UINT32_MAX);
  Leave();  // may end the object: nothing of it is touched after this
}

// --- The one path. ---

uint32_t ImServerClient::Deliver(uint32_t maxEvents) {
  uint32_t ran = 0;
  Nimbo2::InboxItem item;
  while (ran < maxEvents && life_ == Life::kOpen && socket_ != nullptr && socket_->Take(&item)) {
    // The connection whose events run now (a Login made in them is its).
    deliveredEpoch_ = item.epoch;
    if (login_.epoch == 0 && login_.state != KELVO_LOGIN_NONE) login_.epoch = item.epoch;
    if (item.kind == Nimbo2::InboxItem::kMessages) {
      uint8_t* at = item.data;
      uint8_t* const end = at + item.bytes;
      uint32_t count = 0;
      while (at < end && ran < maxEvents) {
        // Between two messages a waiting thread gets in once it is awake
        // (rule 3); whatever it did is seen by the checks that follow. Also
        // before the first message of the next read: a thread that began to
        // wait during the last message of a run is counted in the
        // Disturbances() read below and would otherwise wait for the whole
        // of the next run.
        if (ran != 0 && lock_.Waiters() > 0 && lock_.Depth() == 1 && lock_.YieldToWaiters()) {
          if (life_ != Life::kOpen || !socket_->Current(item)) break;
        }
        const uint32_t seen = lock_.Disturbances();
        uint32_t n = 1;
        if (item.recorder == nullptr) {
          n = DispatchRun(&at, end, maxEvents - ran);
        } else {
          uint8_t* const message = at;
          const uint32_t length = Nimbo2::NimboMsgHead::Length(message);
          at += length;
          item.recorder->Message(message, length);  // before a handler edits it
          Dispatch(message, length, 0);
        }
        count += n;
        ran += n;
        // Rule 4 after the callbacks of those messages.
        if (lock_.Disturbances() != seen && (life_ != Life::kOpen || !socket_->Current(item))) {
          break;
        }
      }
      socket_->Done(item, static_cast<std::size_t>(at - item.data), count);
      continue;
    }
    if (item.kind == Nimbo2::InboxItem::kEnded && item.hasNote) {
      // The reason first, as an event of its own: the host reads it before
      // the state, and may close or reconnect in it, which silences the
      // state it explains.
      ++ran;
      TellNote(item.note);
      if (life_ != Life::kOpen || !socket_->Current(item)) {
        socket_->Done(item, 0, 0);
        break;
      }
      if (ran >= maxEvents) {
        socket_->DoneNote(item);
        break;
      }
    }
    // Taken before the call: the host may start a new attempt inside it.
    socket_->DoneReport(item);
    ++ran;
    DeliverConnectState(item.state);
  }
  return ran;
}

}  // namespace kelvo
