// Inbox: one connection's receive buffer, which is also its queue of
// messages waiting for delivery.
//
// The loop thread reads straight into it and frames the bytes where they
// lie; whoever delivers (the loop thread right after its read, or the
// host's thread inside Pump) takes runs of whole messages from its head, in
// place, and hands them on without copying. When it holds `limit` bytes the
// connection stops reading: the peer's writes back up through TCP's own
// flow control and nothing is lost.
//
// The bytes live in a chain of segments. A message never straddles two: a
// partial message at the end of a segment moves to the start of the next
// one when it needs room, or to the start of its own segment when every
// whole message before it was delivered (the steady state of a stream that
// is taken as fast as it comes: no allocation per read). Segments are
// allocated as bytes arrive and freed once delivered and the stream has
// paused (kept for the next reads until then), so an idle connection holds
// none; a burst gets segments of up to kMaxSegment.
//
// Threads: one producer (the loop thread) and one consumer at a time (the
// deliverer, under the worker's lock). Every method except Frame runs under
// the connection's mutex; Frame runs without it, on bytes only the producer
// touches.
#ifndef NIMBO2_SRC_INBOX_H_
#define NIMBO2_SRC_INBOX_H_

#include <cstddef>
#include <cstdint>

#include "nimbo2/framer.h"

namespace Nimbo2 {

class Inbox {
 public:
  static constexpr std::size_t kSmallSegment = 2048;
  // A full read (Framer::kReadChunk) behind the largest partial message.
  static constexpr std::size_t kMaxSegment = Framer::kReadChunk + Framer::kMaxLength + 1;
  // A read goes into no less room than this.
  static constexpr std::size_t kMinRead = 512;

  Inbox() = default;
  ~Inbox();
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  // --- Producer. ---
  // Room for the next read (at least kMinRead bytes, and the whole rest of
  // a partial message that has announced its length), or null when memory
  // ran out. Marks the producer busy until Publish.
  uint8_t* Reserve(std::size_t* space);
  // Without the lock: takes account of `n` bytes just read into the
  // reserved room and finds the whole messages among them, calling
  // onMessage(uint8_t* message, std::size_t length) for each. False when a
  // header announced a length below 4: the messages before it still count,
  // nothing after it will.
  template <typename OnMessage>
  bool Frame(std::size_t n, OnMessage&& onMessage);
  // Makes what Frame found visible to the consumer and ends the busy mark.
  // Returns the number of new whole messages.
  uint32_t Publish();

  // --- Consumer. ---
  // The run of whole messages at the head: contiguous and writable, valid
  // until Consume (the caller keeps the connection alive meanwhile).
  bool Peek(uint8_t** data, std::size_t* bytes);
  // `bytes` at the head of the run, `messages` whole messages, are done.
  void Consume(std::size_t bytes, uint32_t messages);
  // Frees the last segment when everything in it was delivered, the
  // producer is not reading into it and its last read found the socket
  // drained.
  void Trim();

  // Bytes held: whole messages not yet delivered and the partial one.
  std::size_t HeldBytes() const { return held_; }
  uint32_t Messages() const { return messages_; }
  bool HasMessages() const { return messages_ != 0; }
  // Bytes of segments allocated right now.
  std::size_t AllocatedBytes() const { return allocated_; }

 private:
  struct Segment {
    Segment* next;
    std::size_t cap;
    std::size_t begin;      // consumer: first byte not yet delivered
    std::size_t committed;  // end of the last whole message published
    std::size_t end;        // end of the bytes read (published)
    uint8_t data[1];
  };
  Segment* NewSegment(std::size_t cap);
  void Free(Segment* s);
  // A delivered segment: kept among the spares.
  void Retire(Segment* s);

  Segment* head_ = nullptr;
  Segment* tail_ = nullptr;
  // Delivered segments kept for the next NewSegment while a stream is
  // under way (a deliverer on another thread runs some reads behind, and
  // each read would otherwise allocate): never more than were in use at
  // once, which the limit bounds; freed when Trim finds the connection
  // idle.
  Segment* spares_ = nullptr;
  std::size_t held_ = 0;
  uint32_t messages_ = 0;
  std::size_t allocated_ = 0;
  // Producer's own.
  bool busy_ = false;
  std::size_t framed_ = 0;     // in tail_: end of the whole messages found
  std::size_t readEnd_ = 0;    // in tail_: end of the bytes read
  std::size_t reserved_ = 0;   // room handed out by the last Reserve
  std::size_t lastRead_ = 0;
  uint32_t found_ = 0;         // whole messages found since the last Publish
  std::size_t nextSize_ = kSmallSegment;
};

template <typename OnMessage>
bool Inbox::Frame(std::size_t n, OnMessage&& onMessage) {
  lastRead_ = n;
  if (n == reserved_ && nextSize_ < kMaxSegment) {
    // The read filled all the room it had: more is likely waiting.
    nextSize_ = nextSize_ * 4 < kMaxSegment ? nextSize_ * 4 : kMaxSegment;
  }
  readEnd_ += n;
  // Locals, not members, in the loop: it runs once per message.
  uint8_t* const base = tail_->data;
  uint8_t* at = base + framed_;
  std::size_t left = readEnd_ - framed_;
  uint32_t found = 0;
  bool whole = true;
  while (left >= 2) {
    const std::size_t length = static_cast<std::size_t>(at[0] | (at[1] << 8)) & Framer::kMaxLength;
    if (length < Framer::kMinLength) {
      whole = false;
      break;
    }
    if (left < length) break;
    onMessage(at, length);
    at += length;
    left -= length;
    ++found;
  }
  framed_ = static_cast<std::size_t>(at - base);
  found_ += found;
  return whole;
}

}  // namespace Nimbo2

#endif  // NIMBO2_SRC_INBOX_H_
