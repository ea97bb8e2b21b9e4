#include "core/event_fifo.h"

#include <cstring>
#include <new>

namespace kelvo {

bool EventFifo::Allocate(std::size_t capacity) {
  if (ring_ != nullptr) return true;
  ring_.reset(new (std::nothrow) uint8_t[capacity]);
  if (ring_ == nullptr) return false;
  capacity_ = capacity;
  Clear();
  return true;
}

bool EventFifo::PushMessage(const uint8_t* message, uint32_t length) {
  if (length > 0xFFFF) return false;
  return Push(Kind::kMessage, 0, message, length);
}

bool EventFifo::PushConnectState(uint32_t state) {
  if (state > 0xFF) return false;
  return Push(Kind::kConnectState, static_cast<uint8_t>(state), nullptr, 0);
}

bool EventFifo::PushLog(const char* text) {
  const std::size_t length = std::strlen(text) + 1;
  if (length > 0xFFFF) return false;
  return Push(Kind::kLog, 0, reinterpret_cast<const uint8_t*>(text),
              static_cast<uint32_t>(length));
}

bool EventFifo::Push(Kind kind, uint8_t value, const uint8_t* body, uint32_t length) {
  if (ring_ == nullptr) return false;
  const std::size_t size = kHeadBytes + length;
  // The bytes between the tail and the end of the ring that a wrap would
  // leave unused: only when the tail is ahead of the head (or the ring is
  // empty) does the free space continue at the start.
  const bool wrap = tail_ + size > capacity_;
  std::size_t gap = 0;
  if (wrap) {
    if (used_ != 0 && tail_ < head_) return false;
    gap = capacity_ - tail_;  // 0 when the last record ended at the very end
  }
  if (used_ + gap + size > capacity_) return false;
  if (wrap) {
    if (gap >= kHeadBytes) ring_[tail_ + 2] = static_cast<uint8_t>(Kind::kSkip);
    used_ += gap;
    tail_ = 0;
  }
  uint8_t* const at = ring_.get() + tail_;
  at[0] = static_cast<uint8_t>(length);
  at[1] = static_cast<uint8_t>(length >> 8);
  at[2] = static_cast<uint8_t>(kind);
  at[3] = value;
  if (length != 0) std::memcpy(at + kHeadBytes, body, length);
  tail_ += size;
  used_ += size;
  // Written under the client's lock only; other threads read it as a hint.
  count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return true;
}

bool EventFifo::Pop(Event* out) {
  if (count_.load(std::memory_order_relaxed) == 0) return false;
  // A gap before the end of the ring: shorter than a head, or marked.
  if (capacity_ - head_ < kHeadBytes ||
      ring_[head_ + 2] == static_cast<uint8_t>(Kind::kSkip)) {
    used_ -= capacity_ - head_;
    head_ = 0;
  }
  uint8_t* const at = ring_.get() + head_;
  const uint32_t length = static_cast<uint32_t>(at[0] | (at[1] << 8));
  out->kind = static_cast<Kind>(at[2]);
  out->state = at[3];
  out->message = at + kHeadBytes;
  out->length = length;
  head_ += kHeadBytes + length;
  used_ -= kHeadBytes + length;
  const uint32_t left = count_.load(std::memory_order_relaxed) - 1;
  count_.store(left, std::memory_order_relaxed);
  // Empty again: start over at the front, where the longest run is free.
  // The bytes just handed out stay where they are until the next push.
  if (left == 0) {
    head_ = tail_ = 0;
    used_ = 0;
  }
  return true;
}

uint32_t EventFifo::TakeRun(uint8_t* out, std::size_t capacity, uint32_t maxRecords,
                           std::size_t* bytes) {
  uint32_t taken = 0;
  std::size_t used = 0;
  Event event;
  while (taken < maxRecords && count_.load(std::memory_order_relaxed) != 0) {
    // Peek at the size first: a record that does not fit stays queued.
    std::size_t at = head_;
    if (capacity_ - at < kHeadBytes || ring_[at + 2] == static_cast<uint8_t>(Kind::kSkip)) at = 0;
    const std::size_t size = kHeadBytes + static_cast<std::size_t>(ring_[at] | (ring_[at + 1] << 8));
    if (used + size > capacity) break;
    Pop(&event);
    // Pop leaves the bytes where they were; nothing is pushed meanwhile.
    std::memcpy(out + used, event.message - kHeadBytes, size);
    used += size;
    ++taken;
  }
  *bytes = used;
  return taken;
}

std::size_t EventFifo::ReadRecord(uint8_t* at, Event* out) {
  const uint32_t length = static_cast<uint32_t>(at[0] | (at[1] << 8));
  out->kind = static_cast<Kind>(at[2]);
  out->state = at[3];
  out->message = at + kHeadBytes;
  out->length = length;
  return kHeadBytes + length;
}

void EventFifo::Clear() {
  head_ = tail_ = used_ = 0;
  count_.store(0, std::memory_order_relaxed);
}

}  // namespace kelvo
