// The connection's byte paths: what a host thread sends (straight to the
// socket when nothing waits before it), what the loop writes and reads, TLS
// in between, the inbox the deliverer takes from, and the drain of a
// closing connection.
#include "engine.h"

#include <algorithm>
#include <string>

namespace Nimbo2 {

bool Conn::Send(const uint8_t* data, std::size_t n) {
  bool post;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!up_ || closing_) return false;
    if (sendQueue_.size() - sendOffset_ + n > kSendQueueLimitBytes) return false;
    if (tls_) {
      if (!tls_->WritePlain(data, n)) return false;
      post = SendCipherLocked();
    } else {
      post = SendOrQueueLocked(data, n);
    }
  }
  if (post) loop_->Post(shared_from_this(), Loop::kWantWrite);
  return true;
}

bool Conn::SendOrQueueLocked(const uint8_t* data, std::size_t n) {
  if (n == 0) return false;
  if (sendQueue_.size() != sendOffset_) {
    sendQueue_.insert(sendQueue_.end(), data, data + n);
    return false;  // the loop is already writing
  }
  // Nothing waits before these bytes: straight to the socket, on this
  // thread. Only what the socket does not take goes to the loop.
  int error = 0;
  long written = fd_ != net::kNoSocket ? net::Send(fd_, data, n, &error) : 0;
  if (written < 0) {
    // Full, or dead: the loop finds out which. A hard error is the socket's
    // own, which this send took: kept for the loop's report.
    if (!net::WouldBlock(error) && sendError_ == 0) sendError_ = error;
    written = 0;
  }
  handedToSystem_ += static_cast<uint64_t>(written);
  owner_->bytesOut.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
  if (static_cast<std::size_t>(written) == n) return false;
  sendQueue_.assign(data + written, data + n);
  sendOffset_ = 0;
  return true;
}

bool Conn::SendCipherLocked() {
  cipherOut_.clear();
  tls_->TakeCipher(&cipherOut_);
  return SendOrQueueLocked(cipherOut_.data(), cipherOut_.size());
}

void Conn::Close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closing_) return;
    closing_ = true;
    endReport_ = false;
    if (up_) {
      up_ = false;
      // TLS: our close_notify goes after the last request.
      if (tls_) {
        tls_->Shutdown();
        SendCipherLocked();
      }
      // What the socket takes at once goes now, on the closing thread, and
      // our FIN right behind it; the loop flushes the rest.
      int error = 0;
      if (WriteQueuedLocked(&error) && sendQueue_.empty()) {
        net::ShutdownWrite(fd_);
        shutDown_ = true;
      }
    }
  }
  loop_->Post(shared_from_this(), Loop::kClose);
}

bool Conn::WriteQueuedLocked(int* error) {
  while (sendOffset_ < sendQueue_.size()) {
    const long n = net::Send(fd_, sendQueue_.data() + sendOffset_, sendQueue_.size() - sendOffset_,
                             error);
    if (n < 0) {
      if (net::WouldBlock(*error)) return true;
      // The first hard error is the one that says what happened (a reset
      // is followed by broken pipes).
      if (sendError_ == 0) sendError_ = *error;
      *error = sendError_;
      return false;
    }
    sendOffset_ += static_cast<std::size_t>(n);
    handedToSystem_ += static_cast<uint64_t>(n);
    owner_->bytesOut.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  }
  sendQueue_.clear();
  sendOffset_ = 0;
  // A burst may have grown the queue: give the memory back once it is out.
  if (sendQueue_.capacity() > 64 * 1024) std::vector<uint8_t>().swap(sendQueue_);
  return true;
}

Conn::Next Conn::PeekLocked(uint8_t** data, std::size_t* bytes, Report* report) {
  if (connectedReport_) {
    report->state = kConnected;
    report->hasNote = false;
    return Next::kConnected;
  }
  if (inbox_.Peek(data, bytes)) return Next::kMessages;
  if (endReport_) {
    report->state = endState_;
    report->hasNote = hasNote_ && !noteDelivered_;
    report->note = note_;
    return Next::kEnded;
  }
  return Next::kNothing;
}

bool Conn::ConsumeLocked(std::size_t bytes, uint32_t messages) {
  if (bytes != 0) inbox_.Consume(bytes, messages);
  inbox_.Trim();
  if (paused_ && inbox_.HeldBytes() <= attempt_.inboxLimit / 2) {
    paused_ = false;
    return true;
  }
  return false;
}

uint32_t Conn::PendingLocked() const {
  uint32_t n = inbox_.Messages();
  if (connectedReport_) ++n;
  if (endReport_) n += (hasNote_ && !noteDelivered_) ? 2 : 1;
  return n;
}

int Conn::StateLocked() const {
  if (up_) return 2;
  if (ended_ || closing_) return 0;
  return 1;
}

int Conn::SocketError() {
  const int error = net::ConnectOutcome(fd_);
  if (error != 0) return error;
  std::lock_guard<std::mutex> lock(mu_);
  return sendError_;
}

void Conn::ReadSome(bool errorSeen, bool faultSeen) {
  bool paused;
  {
    std::lock_guard<std::mutex> lock(mu_);
    paused = paused_;
  }
  if (paused) {
    // Not reading until the host has taken some of what waits. An error
    // cannot wait: the poller reports it again and again. The end is
    // decided now and told after the messages that wait.
    if (!errorSeen) return;
    const int error = SocketError();
    if (error != 0) return LostIo(error);
    if (faultSeen) return Lost(LinkReason::kResetByPeer);
    return;
  }
  if (tls_) return ReadTls();
  uint8_t* at;
  std::size_t space = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    at = inbox_.Reserve(&space);
    // No read takes the inbox past its limit.
    const std::size_t room = attempt_.inboxLimit - std::min(attempt_.inboxLimit, inbox_.HeldBytes());
    if (space > room) space = room > 0 ? room : 1;
  }
  if (at == nullptr) return Lost(LinkReason::kOutOfMemory);
  int error = 0;
  const long n = net::Recv(fd_, at, space, &error);
  const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
  // Framed where the bytes lie, outside the lock: nobody else touches them.
  const bool whole = inbox_.Frame(got, [](uint8_t*, std::size_t) {});
  uint32_t fresh;
  bool nowPaused = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fresh = inbox_.Publish();
    if (!paused_ && inbox_.HeldBytes() >= attempt_.inboxLimit) paused_ = nowPaused = true;
  }
  if (got != 0) {
    received_ += got;
    owner_->bytesIn.fetch_add(got, std::memory_order_relaxed);
  }
  if (fresh != 0) owner_->messagesIn.fetch_add(fresh, std::memory_order_relaxed);
  if (nowPaused) {
    SetInterest();
    Rearm();
  }
  if (n > 0 && whole) {
    if (fresh != 0) owner_->Notify(this);
    return;
  }
  if (fresh != 0) owner_->Notify(this);
  if (phase_ != Phase::kUp) return;  // closed by the worker meanwhile
  if (!whole) return Lost(LinkReason::kFramingError);
  if (n == 0) {
    // Some stacks (Wine's among them) answer a reset with an end of stream
    // and keep the error for poll alone: the error flag tells the two apart.
    // And a send on a host thread may have met the reset first and taken
    // the socket's error with it.
    const int pending = errorSeen ? net::ConnectOutcome(fd_) : 0;
    if (pending != 0) return LostIo(pending);
    if (faultSeen) return Lost(LinkReason::kResetByPeer);
    const int taken = SocketError();
    if (taken != 0) return LostIo(taken);
    return Lost(LinkReason::kClosedByPeer);
  }
  if (net::WouldBlock(error)) return;
  LostIo(error);
}

void Conn::ReadTls() {
  uint8_t* const cipher = loop_->Scratch();
  if (cipher == nullptr) return Lost(LinkReason::kOutOfMemory);
  int error = 0;
  const long n = net::Recv(fd_, cipher, Loop::kScratchBytes, &error);
  if (n < 0 && net::WouldBlock(error)) return;
  if (n < 0) return LostIo(error);
  if (n == 0) {
    // A reset that a send on a host thread met first, taking the socket's
    // error: the end of stream that follows is not the server's TLS end.
    const int taken = SocketError();
    if (taken != 0) {
      if (!DrainPlain()) return;
      return LostIo(taken);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (n > 0) {
      tls_->FeedCipher(cipher, static_cast<std::size_t>(n));
    } else {
      tls_->FeedCipherEnd();
    }
  }
  if (n > 0) {
    received_ += static_cast<uint64_t>(n);
    owner_->bytesIn.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
  }
  if (!DrainPlain()) return;
  if (n == 0) {
    // The session saw the end of the stream and neither failed nor closed:
    // only possible while the inbox is full (the rest waits inside it until
    // the resume). A cut is never taken for an orderly end.
    bool paused;
    {
      std::lock_guard<std::mutex> lock(mu_);
      paused = paused_;
    }
    if (!paused) {
      return Lost(LinkReason::kTls, 0, "TLS connection failed: unexpected eof while reading");
    }
  }
  SetInterest();
}

bool Conn::DrainPlain() {
  uint32_t fresh = 0;
  bool whole = true;
  bool memory = true;
  bool nowPaused = false;
  bool drained;
  bool closing;
  TlsSession::State state;
  std::string why;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing = closing_;
    while (!paused_) {
      std::size_t space = 0;
      uint8_t* at = inbox_.Reserve(&space);
      if (at == nullptr) {
        memory = false;
        break;
      }
      const std::size_t room =
          attempt_.inboxLimit - std::min(attempt_.inboxLimit, inbox_.HeldBytes());
      if (space > room) space = room > 0 ? room : 1;
      const std::size_t k = tls_->ReadPlain(at, space);
      whole = inbox_.Frame(k, [](uint8_t*, std::size_t) {});
      fresh += inbox_.Publish();
      if (!whole || k == 0) break;
      if (inbox_.HeldBytes() >= attempt_.inboxLimit) paused_ = nowPaused = true;
    }
    drained = !paused_;
    // What the session wrote while reading (an alert, the answer to a key
    // update) goes now, not with some later request.
    SendCipherLocked();
    // Read after the plain stream: the end of the stream or a failure shows
    // only once everything before it was taken out.
    state = tls_->Advance();
    if (state == TlsSession::State::kFailed) why = tls_->FailureText();
  }
  if (fresh != 0) owner_->messagesIn.fetch_add(fresh, std::memory_order_relaxed);
  if (nowPaused) {
    SetInterest();
    Rearm();
  }
  if (fresh != 0) owner_->Notify(this);
  if (phase_ != Phase::kUp) return false;  // closed by the worker meanwhile
  // Closed by the host: the session ended with our close_notify, and the
  // closing connection flushes what was accepted (kClose is on its way).
  if (closing) return false;
  if (!memory) {
    Lost(LinkReason::kOutOfMemory);
    return false;
  }
  if (!whole) {
    Lost(LinkReason::kFramingError);
    return false;
  }
  // The session's end is told once the inbox has taken everything before
  // it; while the inbox is full the rest waits in the session.
  if (drained && state == TlsSession::State::kFailed) {
    Lost(LinkReason::kTls, 0, why);
    return false;
  }
  if (drained && state == TlsSession::State::kClosed) {
    Lost(LinkReason::kClosedByPeer);
    return false;
  }
  return true;
}

void Conn::Drain() {
  // Read and dropped: a small buffer on the stack will do (a thread-local
  // one would be made for every thread that touches any of this module's
  // thread-locals).
  uint8_t sink[2048];
  // A bounded bite per turn: a peer that never stops sending must not keep
  // the loop here (the poller calls again, and the linger limit ends it).
  for (int bite = 0; bite < 32; ++bite) {
    int error = 0;
    const long n = net::Recv(fd_, sink, sizeof sink, &error);
    if (n > 0) continue;
    if (n < 0 && net::WouldBlock(error)) return;
    // The peer's FIN (or an error): nothing more will come. Done once what
    // was accepted is out.
    bool flushed;
    {
      std::lock_guard<std::mutex> lock(mu_);
      flushed = sendQueue_.empty();
    }
    if (flushed || n < 0) return Finish();
    interest_ = Poller::kOut;
    loop_->Interest(this, fd_, interest_);
    return;
  }
}

void Conn::Flush() {
  int error = 0;
  bool ok;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ok = WriteQueuedLocked(&error);
    if (ok && closing_ && sendQueue_.empty() && !shutDown_) {
      net::ShutdownWrite(fd_);
      shutDown_ = true;
    }
  }
  if (!ok) {
    if (phase_ == Phase::kClosing) return Finish();
    return LostIo(error);
  }
  SetInterest();
  Rearm();
}

}  // namespace Nimbo2
