// The deliverer's side: the worker is told of new events (Notify), and takes
// them in order, current connection only (Take, Done, DoneReport).
#include "engine.h"

#include <utility>

namespace Nimbo2 {

void ClientState::Notify(Conn* c) {
  MsgWorker* w;
  InboxWorker* inbox;
  LinkNoteWorker* n;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (worker == nullptr) return;
    if (c != nullptr && current.get() != c && !requestedClose) return;
    if (c == nullptr && !requestedClose) return;
    w = worker;
    inbox = inboxWorker;
    n = notes;
    calling = true;
    callingThread = std::this_thread::get_id();
  }
  if (inbox != nullptr) {
    try {
      inbox->InboxReady();
    } catch (...) {
      // The worker's business; reading goes on.
    }
  } else {
    DeliverHere(w, n);
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    calling = false;
  }
  callEnded.notify_all();
}

bool ClientState::Attached() {
  std::lock_guard<std::mutex> lock(mu);
  return worker != nullptr;
}

void ClientState::DeliverHere(MsgWorker* w, LinkNoteWorker* n) {
  InboxItem item;
  while (Take(&item)) {
    if (item.kind == InboxItem::kMessages) {
      std::size_t pos = 0;
      uint32_t count = 0;
      while (pos < item.bytes) {
        uint8_t* const m = item.data + pos;
        const std::size_t length = static_cast<std::size_t>(m[0] | (m[1] << 8)) & Framer::kMaxLength;
        pos += length;
        ++count;
        if (item.recorder) item.recorder->Message(m, length);  // before the worker edits it
        try {
          w->HandleMessage(m, static_cast<uint32_t>(length), 0, 0);
        } catch (...) {
          // The worker's business; the next message is delivered as usual.
        }
        if (!Current(item)) break;  // closed, replaced or destroyed meanwhile
      }
      Done(item, pos, count);
      if (!Current(item)) return;
      continue;
    }
    if (item.kind == InboxItem::kEnded && item.hasNote && n != nullptr) {
      try {
        n->OnLinkNote(item.note);
      } catch (...) {
        // A note is a diagnostic: losing it must not lose the report.
      }
      if (!Current(item)) {
        Done(item, 0, 0);
        return;
      }
    }
    // Taken before the call: the worker may start a new attempt inside it.
    DoneReport(item);
    try {
      w->OnConnectState(item.state);
    } catch (...) {
      // The worker's business; the connection goes on.
    }
    if (!Current(item) && item.kind == InboxItem::kConnected) return;
  }
}

bool ClientState::Take(InboxItem* item) {
  std::shared_ptr<Conn> c;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (worker == nullptr) return false;
    if (requestedClose) {
      // The close CloseSocket(true) asked for came before anything of a
      // later connection.
      *item = InboxItem{};
      item->kind = InboxItem::kEnded;
      item->state = kConnectionClosed;
      item->epoch = kRequestedEpoch;
      return true;
    }
    c = current;
    if (!c) return false;
  }
  Conn::Report report{};
  uint8_t* data = nullptr;
  std::size_t bytes = 0;
  Conn::Next next;
  {
    std::lock_guard<std::mutex> lock(c->mu());
    next = c->PeekLocked(&data, &bytes, &report);
  }
  *item = InboxItem{};
  item->epoch = c->epoch();
  item->recorder = recorder.get();
  switch (next) {
    case Conn::Next::kNothing:
      return false;
    case Conn::Next::kConnected:
      item->kind = InboxItem::kConnected;
      item->state = kConnected;
      break;
    case Conn::Next::kMessages:
      item->kind = InboxItem::kMessages;
      item->data = data;
      item->bytes = bytes;
      break;
    case Conn::Next::kEnded:
      item->kind = InboxItem::kEnded;
      item->state = report.state;
      item->hasNote = report.hasNote;
      item->note = report.note;
      break;
  }
  delivering = std::move(c);
  return true;
}

void ClientState::Done(const InboxItem& item, std::size_t bytes, uint32_t messages) {
  std::shared_ptr<Conn> c = std::move(delivering);
  delivering.reset();
  if (!c || c->epoch() != item.epoch) return;
  bool resume;
  {
    std::lock_guard<std::mutex> lock(c->mu());
    resume = c->ConsumeLocked(bytes, messages);
  }
  if (resume) c->loop().Post(c, Loop::kResume);
}

void ClientState::DoneNote(const InboxItem& item) {
  std::shared_ptr<Conn> c = std::move(delivering);
  delivering.reset();
  if (!c || c->epoch() != item.epoch) return;
  std::lock_guard<std::mutex> lock(c->mu());
  c->SetNoteDeliveredLocked();
}

void ClientState::DoneReport(const InboxItem& item) {
  std::shared_ptr<Conn> c = std::move(delivering);
  delivering.reset();
  if (item.epoch == kRequestedEpoch) {
    std::lock_guard<std::mutex> lock(mu);
    requestedClose = false;
    return;
  }
  if (!c) return;
  if (c->epoch() != item.epoch) return;
  if (recorder) {
    if (item.kind == InboxItem::kConnected) recorder->Connected();
    if (item.kind == InboxItem::kEnded && item.state == kConnectionClosed) recorder->Closed();
  }
  {
    std::lock_guard<std::mutex> lock(c->mu());
    if (item.kind == InboxItem::kConnected) {
      c->ConnectedDeliveredLocked();
      return;
    }
    c->EndDeliveredLocked();
  }
  // The connection's story is told: it is no longer anybody's current one.
  std::lock_guard<std::mutex> lock(mu);
  if (current == c) current.reset();
}

bool ClientState::Current(const InboxItem& item) const {
  if (stopped.load(std::memory_order_acquire)) return false;
  return item.epoch == kRequestedEpoch || currentEpoch.load(std::memory_order_acquire) == item.epoch;
}

uint32_t ClientState::PendingEvents() {
  std::shared_ptr<Conn> c;
  uint32_t owed;
  {
    std::lock_guard<std::mutex> lock(mu);
    owed = requestedClose ? 1 : 0;
    if (!current) return owed;
    c = current;
  }
  std::lock_guard<std::mutex> lock(c->mu());
  return owed + c->PendingLocked();
}

void ClientState::ThreadBegins() {
  MsgWorker* w;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (worker == nullptr) return;
    w = worker;
    calling = true;
    callingThread = std::this_thread::get_id();
  }
  try {
    w->MsgThreadBegin();
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    calling = false;
  }
  callEnded.notify_all();
}

void ClientState::ThreadEnds() {
  MsgWorker* w;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (worker == nullptr || forgetWorker) return;
    w = worker;
    calling = true;
    callingThread = std::this_thread::get_id();
  }
  try {
    w->MsgThreadEnd();
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    calling = false;
  }
  callEnded.notify_all();
}

}  // namespace Nimbo2
