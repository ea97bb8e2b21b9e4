// Pump mode: the client's events wait in a queue and run on the host's
// thread when it calls Pump. See im_server_client.h for how this sits in the
// locking scheme.
#include <chrono>

#include "core/im_server_client.h"
#include "core/platform.h"

namespace kelvo {

// --- The face the host holds. ---

bool ImServerClient::PumpFace::IsValid() {
  return platform::IsValidAddress(this, sizeof(*this), true) && client_->IsValid();
}

bool ImServerClient::PumpFace::Release() {
  if (!platform::IsValidAddress(this, sizeof(*this), true)) return true;
  return client_->Release();
}

void* ImServerClient::PumpFace::QueryInterface(const GUID& iid, uint32_t version) {
  return client_->QueryInterface(iid, version);
}

bool ImServerClient::PumpFace::SetDeliveryMode(uint32_t mode) {
  return client_->SetDeliveryMode(mode);
}

uint32_t ImServerClient::PumpFace::GetDeliveryMode() { return client_->GetDeliveryMode(); }

uint32_t ImServerClient::PumpFace::Pump(uint32_t maxEvents) { return client_->Pump(maxEvents); }

uint32_t ImServerClient::PumpFace::PendingEvents() { return client_->PendingEvents(); }

bool ImServerClient::PumpFace::WaitForEvents(uint32_t timeoutMs) {
  return client_->WaitForEvents(timeoutMs);
}

// --- The host's side. ---

bool ImServerClient::SetDeliveryMode(uint32_t mode) {
  CallScope scope(this);
  if (!scope.live()) return false;
  if (mode != KELVO_DELIVERY_NETWORK_THREAD && mode != KELVO_DELIVERY_PUMP) return false;
  if (mode == deliveryMode_) return true;
  // Events already queued, or a connection whose deliveries have begun in
  // one mode, would otherwise arrive partly in the other.
  if (fifo_.Count() != 0) return false;
  if (socket_ != nullptr && socket_->GetConnectState() != 0) return false;
  if (mode == KELVO_DELIVERY_PUMP && !fifo_.Allocate(KELVO_PUMP_QUEUE_BYTES)) return false;
  deliveryMode_ = mode;
  return true;
}

uint32_t ImServerClient::GetDeliveryMode() {
  CallScope scope(this);
  return deliveryMode_;
}

uint32_t ImServerClient::Pump(uint32_t maxEvents) {
  CallScope scope(this);
  // From inside a callback (a Pump's or any other) the caller is in the
  // middle of an event: running more would nest events. Another thread's
  // Pump may be letting this one in between two of its events.
  if (!scope.live() || deliveryMode_ != KELVO_DELIVERY_PUMP || pumping_ || lock_.Depth() > 1) {
    return 0;
  }
  pumping_ = true;
  uint32_t ran = 0;
  EventFifo::Event event;
  while (ran < maxEvents && life_ == Life::kOpen) {
    // As the network thread does between two messages: a waiting thread
    // (a host call, or the network thread with a read to queue) gets in.
    if (ran != 0 && lock_.Waiters() > 0) {
      lock_.LetWaitersIn();
      if (life_ != Life::kOpen) break;
    }
    // Taken off before it runs, so that a Close or Connect from inside its
    // callbacks, which empties the queue, leaves nothing half-consumed. Its
    // bytes stay put: only the network thread adds, and it needs the lock.
    if (!fifo_.Pop(&event)) break;
    ++ran;
    if (readingPaused_ && fifo_.FreeBytes() >= fifo_.capacity() / 2) {
      readingPaused_ = false;
      if (socket_ != nullptr) socket_->ResumeReading();
    }
    if (event.kind == EventFifo::Kind::kMessage) {
      Dispatch(event.message, event.length, 0);
    } else {
      DeliverConnectState(event.state);
    }
  }
  pumping_ = false;
  return ran;
}

bool ImServerClient::WaitForEvents(uint32_t timeoutMs) {
  // A caller inside a callback holds the lock that the network thread needs
  // to queue anything: waiting could only time out.
  if (lock_.HeldByMe() || fifo_.Count() != 0) return fifo_.Count() != 0;
  eventWaiters_.fetch_add(1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  {
    std::unique_lock<std::mutex> lock(waitMu_);
    waitCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [this] { return fifo_.Count() != 0; });
  }
  eventWaiters_.fetch_sub(1, std::memory_order_relaxed);
  return fifo_.Count() != 0;
}

// --- The network thread's side. ---

void ImServerClient::QueueMessage(const uint8_t* message, uint32_t length) {
  if (!fifo_.PushMessage(message, length)) {
    ++queueOverflows_;
    return;
  }
  if (!readingPaused_ && fifo_.FreeBytes() < kReadHeadroom) {
    readingPaused_ = true;
    if (socket_ != nullptr) socket_->PauseReading();
  }
  Queued();
}

void ImServerClient::QueueConnectState(uint32_t state) {
  // The headroom kept for reads leaves room for reports.
  if (!fifo_.PushConnectState(state)) {
    ++queueOverflows_;
    return;
  }
  Queued();
}

void ImServerClient::Queued() {
  // Inside the socket client's batch (depth 2: the batch and this
  // delivery) the batch's end wakes sleepers once for the whole read; a
  // delivery made outside a batch wakes them now.
  if (lock_.Depth() > 1) {
    wakePending_ = true;
  } else {
    WakeWaiters();
  }
}

void ImServerClient::WakeWaiters() {
  // Pairs with the fence in WaitForEvents: the count was stored before this
  // fence, so either the sleeper sees the event or this sees the sleeper.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (eventWaiters_.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard<std::mutex> lock(waitMu_);
  waitCv_.notify_all();
}

void ImServerClient::DiscardPending() {
  fifo_.Clear();
  if (readingPaused_) {
    readingPaused_ = false;
    if (socket_ != nullptr) socket_->ResumeReading();
  }
}

}  // namespace kelvo
