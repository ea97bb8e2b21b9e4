#include "inbox.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace Nimbo2 {

Inbox::~Inbox() {
  while (head_ != nullptr) {
    Segment* next = head_->next;
    std::free(head_);
    head_ = next;
  }
  while (spares_ != nullptr) {
    Segment* next = spares_->next;
    std::free(spares_);
    spares_ = next;
  }
}

Inbox::Segment* Inbox::NewSegment(std::size_t cap) {
  Segment* s = nullptr;
  for (Segment** at = &spares_; *at != nullptr; at = &(*at)->next) {
    if ((*at)->cap >= cap) {
      s = *at;
      *at = s->next;
      break;
    }
  }
  if (s == nullptr) {
    void* p = std::malloc(offsetof(Segment, data) + cap);
    if (p == nullptr) return nullptr;
    s = static_cast<Segment*>(p);
    s->cap = cap;
    allocated_ += cap;
  }
  s->next = nullptr;
  s->begin = s->committed = s->end = 0;
  return s;
}

void Inbox::Free(Segment* s) {
  allocated_ -= s->cap;
  std::free(s);
}

void Inbox::Retire(Segment* s) {
  s->next = spares_;
  spares_ = s;
}

uint8_t* Inbox::Reserve(std::size_t* space) {
  if (tail_ != nullptr && tail_->begin == tail_->end) {
    // Everything read into the last segment was delivered: start it over.
    tail_->begin = tail_->committed = tail_->end = 0;
    framed_ = readEnd_ = 0;
  }
  const std::size_t partial = tail_ != nullptr ? readEnd_ - framed_ : 0;
  std::size_t need = kMinRead;
  if (partial >= 2) {
    const uint8_t* at = tail_->data + framed_;
    const std::size_t length = static_cast<std::size_t>(at[0] | (at[1] << 8)) & Framer::kMaxLength;
    if (length > partial && length - partial > need) need = length - partial;
  }
  if (tail_ == nullptr || tail_->cap - readEnd_ < need) {
    std::size_t cap = nextSize_;
    if (cap < partial + need) cap = partial + need;
    if (tail_ != nullptr && tail_->begin == tail_->committed && tail_->cap >= cap) {
      // Every whole message in the last segment was delivered (the
      // consumer holds nothing of it) and it is as large as a new one
      // would be: the partial message moves to its start.
      std::memmove(tail_->data, tail_->data + framed_, partial);
      tail_->begin = tail_->committed = 0;
    } else {
      Segment* s = NewSegment(cap);
      if (s == nullptr) return nullptr;
      if (tail_ == nullptr) {
        head_ = tail_ = s;
      } else {
        // The partial message moves on; the old segment ends at its last
        // whole message.
        std::memcpy(s->data, tail_->data + framed_, partial);
        tail_->end = tail_->committed;
        Segment* old = tail_;
        tail_->next = s;
        tail_ = s;
        if (old == head_ && old->begin == old->end) {
          head_ = s;
          Retire(old);
        }
      }
    }
    tail_->end = partial;
    framed_ = 0;
    readEnd_ = partial;
  }
  busy_ = true;
  reserved_ = tail_->cap - readEnd_;
  *space = reserved_;
  return tail_->data + readEnd_;
}

uint32_t Inbox::Publish() {
  busy_ = false;
  held_ += readEnd_ - tail_->end;
  tail_->end = readEnd_;
  tail_->committed = framed_;
  const uint32_t found = found_;
  messages_ += found;
  found_ = 0;
  return found;
}

bool Inbox::Peek(uint8_t** data, std::size_t* bytes) {
  while (head_ != nullptr) {
    if (head_->begin < head_->committed) {
      *data = head_->data + head_->begin;
      *bytes = head_->committed - head_->begin;
      return true;
    }
    // A sealed segment that is all delivered goes; the last one stays for
    // the producer.
    if (head_->next == nullptr || head_->begin != head_->end) return false;
    Segment* next = head_->next;
    Retire(head_);
    head_ = next;
  }
  return false;
}

void Inbox::Consume(std::size_t bytes, uint32_t messages) {
  head_->begin += bytes;
  held_ -= bytes;
  messages_ -= messages;
  if (head_->begin == head_->end && head_->next != nullptr) {
    Segment* next = head_->next;
    Retire(head_);
    head_ = next;
  }
}

void Inbox::Trim() {
  if (tail_ == nullptr || busy_ || tail_->begin != tail_->end || head_ != tail_) return;
  // Everything was delivered: the deliverer has caught up, and one spare is
  // all a next lag needs at first.
  const bool idle = lastRead_ < reserved_;
  Segment* keep = idle ? nullptr : spares_;
  for (Segment* s = keep != nullptr ? keep->next : spares_; s != nullptr;) {
    Segment* next = s->next;
    Free(s);
    s = next;
  }
  spares_ = keep;
  if (keep != nullptr) keep->next = nullptr;
  // Keep the last segment while reads keep filling their room: a stream is
  // under way.
  if (!idle) return;
  Free(tail_);
  head_ = tail_ = nullptr;
  framed_ = readEnd_ = 0;
  nextSize_ = kSmallSegment;
}

}  // namespace Nimbo2
