// Pump mode: the client's events wait in a queue and run on the host's
// thread when it calls Pump. See im_server_client.h for how this sits in the
// locking scheme.
#include <chrono>
#include <new>

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
  if (mode == deliveryMode_.load(std::memory_order_relaxed)) return true;
  // Events queued or being pumped, or a connection whose deliveries have
  // begun in one mode, would otherwise arrive partly in the other.
  if (pumping_) return false;
  if (socket_ != nullptr && socket_->GetConnectState() != 0) return false;
  if (mode == KELVO_DELIVERY_PUMP && run_ == nullptr) {
    run_.reset(new (std::nothrow) uint8_t[kRunBytes]);
    if (run_ == nullptr) return false;
  }
  queueLock_.Lock();
  bool changed = false;
  if (fifo_.Count() == 0 && (mode != KELVO_DELIVERY_PUMP || fifo_.Allocate(KELVO_PUMP_QUEUE_BYTES))) {
    deliveryMode_.store(mode, std::memory_order_relaxed);
    changed = true;
  }
  queueLock_.Unlock();
  return changed;
}

uint32_t ImServerClient::GetDeliveryMode() {
  CallScope scope(this);
  return deliveryMode_.load(std::memory_order_relaxed);
}

uint32_t ImServerClient::Pump(uint32_t maxEvents) {
  CallScope scope(this);
  // From inside a callback (a Pump's or any other) the caller is in the
  // middle of an event: running more would nest events. Another thread's
  // Pump may be letting this one in between two of its events.
  if (!scope.live() || deliveryMode_.load(std::memory_order_relaxed) != KELVO_DELIVERY_PUMP ||
      pumping_ || lock_.Depth() > 1) {
    return 0;
  }
  pumping_ = true;
  uint32_t ran = 0;
  while (ran < maxEvents && life_ == Life::kOpen) {
    // A run of events comes out under the queue's lock, which the network
    // thread holds only while it queues; they are run from the copy, so it
    // goes on queueing meanwhile.
    std::size_t bytes = 0;
    queueLock_.Lock();
    const uint32_t taken = fifo_.TakeRun(run_.get(), kRunBytes, maxEvents - ran, &bytes);
    if (readingPaused_ && fifo_.FreeBytes() >= fifo_.capacity() / 2) {
      readingPaused_ = false;
      if (socket_ != nullptr) socket_->ResumeReading();
    }
    queueLock_.Unlock();
    if (taken == 0) break;
    const uint64_t discards = discards_;
    uint8_t* at = run_.get();
    for (uint32_t i = 0; i < taken; ++i) {
      // As the network thread does between two messages: a waiting host
      // thread gets in. Whatever it did is seen below.
      if (ran != 0 && lock_.Waiters() > 0) lock_.LetWaitersIn();
      // A Close or Connect (from a callback, or from the thread let in)
      // discarded the rest of this run with the queue.
      if (life_ != Life::kOpen || discards_ != discards) break;
      EventFifo::Event event;
      at += EventFifo::ReadRecord(at, &event);
      ++ran;
      if (event.kind == EventFifo::Kind::kMessage) {
        Dispatch(event.message, event.length, 0);
      } else if (event.kind == EventFifo::Kind::kLog) {
        if (sink_ != nullptr) {
          try {
            sink_->OnLog(reinterpret_cast<const char*>(event.message));
          } catch (...) {
            // A connection note; the state report that follows it stands.
          }
        }
      } else {
        DeliverConnectState(event.state);
      }
    }
  }
  pumping_ = false;
  return ran;
}

bool ImServerClient::WaitForEvents(uint32_t timeoutMs) {
  // A caller inside a callback would wait for events that only the caller
  // itself can run.
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

void ImServerClient::DiscardPendingLocked() {
  ++discards_;
  fifo_.Clear();
  if (readingPaused_) {
    readingPaused_ = false;
    if (socket_ != nullptr) socket_->ResumeReading();
  }
}

// --- The network thread's side (and direct deliveries). ---

void ImServerClient::MessageBatch::BeginMessages() {
  // The mode decides the lock; it cannot change while either is held, so
  // the one taken is checked against the mode once more.
  for (;;) {
    if (client_->deliveryMode_.load(std::memory_order_relaxed) == KELVO_DELIVERY_PUMP) {
      client_->queueLock_.Lock();
      if (client_->deliveryMode_.load(std::memory_order_relaxed) == KELVO_DELIVERY_PUMP) {
        pump_ = true;
        return;
      }
      client_->queueLock_.Unlock();
    } else {
      client_->Enter();
      if (client_->deliveryMode_.load(std::memory_order_relaxed) != KELVO_DELIVERY_PUMP) {
        pump_ = false;
        return;
      }
      // Nothing ran under it: a plain unlock, no deferred release to honour.
      client_->lock_.Unlock();
    }
  }
}

void ImServerClient::MessageBatch::EndMessages() {
  if (!pump_) {
    client_->Leave();
    return;
  }
  // One wake-up per read, not one per message.
  if (client_->wakePending_) {
    client_->wakePending_ = false;
    client_->WakeWaiters();
  }
  client_->queueLock_.Unlock();
}

void ImServerClient::MessageBatch::BetweenMessages() {
  if (pump_) {
    // In pump mode the batch only copies (at most one read, a few
    // microseconds), so Pump and Close simply wait for its end. Handing the
    // queue over between two copies made Pump take out runs of a message
    // or two, each at the price of a hand-over between threads.
    return;
  }
  // At depth 1 no callback is under way. A pending release keeps the lock:
  // the object is about to go.
  ClientLock& lock = client_->lock_;
  if (lock.Waiters() > 0 && lock.Depth() == 1 && client_->life_ == Life::kOpen) {
    lock.LetWaitersIn();
  }
}

void ImServerClient::QueueMessage(const uint8_t* message, uint32_t length, bool inBatch) {
  if (!fifo_.PushMessage(message, length)) {
    ++queueOverflows_;
    return;
  }
  if (!readingPaused_ && fifo_.FreeBytes() < kReadHeadroom) {
    readingPaused_ = true;
    if (socket_ != nullptr) socket_->PauseReading();
  }
  Queued(inBatch);
}

void ImServerClient::QueueConnectState(uint32_t state, bool inBatch) {
  // The headroom kept for reads leaves room for reports.
  if (!fifo_.PushConnectState(state)) {
    ++queueOverflows_;
    return;
  }
  Queued(inBatch);
}

void ImServerClient::QueueLog(const char* text, bool inBatch) {
  if (!fifo_.PushLog(text)) {
    ++queueOverflows_;
    return;
  }
  Queued(inBatch);
}

void ImServerClient::Queued(bool inBatch) {
  if (inBatch) {
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

}  // namespace kelvo
