// EventFifo: the queue of inbound events of a client in pump mode. The
// network thread appends (a copy of each message, or a connection report),
// the pumping thread takes them off in the same order.
//
// One byte ring, allocated once: appending copies the message into the ring
// and allocates nothing, so a steady flow of messages costs one memcpy each.
// A record is a 4-byte head (u16 length of the body, u8 kind, u8 value) and
// its body, always contiguous, so a handler gets the message in one piece,
// writable, as the network library would hand it over. A record that does
// not fit before the end of the ring goes to its start; the gap left behind
// is marked (or, when shorter than a head, implied) and skipped.
//
// Not thread-safe: the client's queue lock guards it. Count() is mirrored in
// an atomic so that other threads may read it as a hint.
#ifndef KELVO_CORE_EVENT_FIFO_H_
#define KELVO_CORE_EVENT_FIFO_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kelvo {

class EventFifo {
 public:
  enum class Kind : uint8_t { kSkip = 0, kMessage = 1, kConnectState = 2, kLog = 3 };
  static constexpr std::size_t kHeadBytes = 4;

  struct Event {
    Kind kind;
    uint32_t state;     // kConnectState: the connection state
    uint8_t* message;   // kMessage: `length` bytes, writable; kLog: the text,
                        // terminator included
    uint32_t length;
  };

  EventFifo() = default;
  EventFifo(const EventFifo&) = delete;
  EventFifo& operator=(const EventFifo&) = delete;

  // Allocates the ring once; later calls keep it. False when out of memory.
  bool Allocate(std::size_t capacity);
  bool allocated() const { return ring_ != nullptr; }

  // Appends one record; false (nothing changed) when it does not fit.
  bool PushMessage(const uint8_t* message, uint32_t length);
  bool PushConnectState(uint32_t state);
  // A diagnostic line for the sink's OnLog (zero-terminated, copied).
  bool PushLog(const char* text);

  // Takes the oldest record off. Its bytes stay valid until the next push.
  bool Pop(Event* out);

  // Takes up to `maxRecords` of the oldest records off, as many as fit in
  // `capacity` bytes at `out` (at least one when any is queued and
  // `capacity` holds the largest record), copied there one after the other
  // in the same record format. Returns how many; *bytes gets their size.
  // ReadRecord walks them.
  uint32_t TakeRun(uint8_t* out, std::size_t capacity, uint32_t maxRecords, std::size_t* bytes);
  // The record at `at` (from TakeRun); returns its size.
  static std::size_t ReadRecord(uint8_t* at, Event* out);

  // Drops everything queued.
  void Clear();

  std::size_t capacity() const { return capacity_; }
  // Bytes taken by queued records, gaps included.
  std::size_t UsedBytes() const { return used_; }
  std::size_t FreeBytes() const { return capacity_ - used_; }
  // Any thread: queued records, possibly stale.
  uint32_t Count() const { return count_.load(std::memory_order_relaxed); }

 private:
  bool Push(Kind kind, uint8_t value, const uint8_t* body, uint32_t length);

  std::unique_ptr<uint8_t[]> ring_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;  // next record to take
  std::size_t tail_ = 0;  // where the next record goes
  std::size_t used_ = 0;
  std::atomic<uint32_t> count_{0};
};

}  // namespace kelvo

#endif  // KELVO_CORE_EVENT_FIFO_H_
