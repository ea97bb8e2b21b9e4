#include "engine.h"

#include <new>
#include <utility>

namespace Nimbo2 {

namespace {
constexpr int kEventsPerWait = 128;
}  // namespace

std::shared_ptr<Loop> Loop::Make(bool many, int* error) {
  if (!net::Startup()) {
    *error = net::LastError();
    return nullptr;
  }
  std::shared_ptr<Loop> loop(new Loop());
  loop->poller_ = Poller::Make(many, error);
  if (!loop->poller_) return nullptr;
  if (!loop->waker_.Open(error)) return nullptr;
  if (!loop->poller_->Add(loop->waker_.handle(), nullptr, Poller::kIn, error)) return nullptr;
  return loop;
}

Loop::~Loop() = default;

bool Loop::Start(const char* name, std::shared_ptr<ClientState> owner, int* error) {
  std::shared_ptr<Loop> self = shared_from_this();
  if (!thread_.Start([self, owner] { self->Run(owner); }, kLoopStackBytes, name, error))
    return false;
  started_ = true;
  return true;
}

void Loop::Post(const std::shared_ptr<Conn>& c, uint32_t ops) {
  if (c->ops_.fetch_or(ops, std::memory_order_acq_rel) != 0) return;  // queued already
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // A loop that ended runs nothing more; what is posted to it late (a
    // resolver's answer) would only keep the connection, and with it the
    // loop, alive.
    if (ended_) return;
    wake = posted_.empty();
    posted_.push_back(c);
  }
  if (wake) waker_.Signal();
}

void Loop::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!started_ || stopping_) return;
    stopping_ = true;
  }
  waker_.Signal();
  if (OnThread()) {
    // Called from a worker call on this very thread: it returns into the
    // loop, which then ends on its own, running this module's code after
    // the caller is gone.
    KeepModuleLoaded();
    thread_.Detach();
    return;
  }
  std::unique_lock<std::mutex> lock(mu_);
  stateCv_.wait(lock, [this] { return ended_ || lingering_; });
  const bool ended = ended_;
  lock.unlock();
  if (ended) {
    thread_.Join();
  } else {
    // A closing connection still flushes what was accepted (at most
    // kLingerMs); the thread finishes it alone.
    KeepModuleLoaded();
    thread_.Detach();
  }
}

uint8_t* Loop::Scratch() {
  if (!scratch_) scratch_.reset(new (std::nothrow) uint8_t[kScratchBytes]);
  return scratch_.get();
}

bool Loop::Watch(Conn* c, net::Socket s, uint32_t interest, int* error) {
  if (!poller_->Add(s, c, interest, error)) return false;
  watched_.push_back(c->shared_from_this());
  return true;
}

void Loop::Interest(Conn* c, net::Socket s, uint32_t interest) { poller_->Modify(s, c, interest); }

void Loop::Unwatch(Conn* c, net::Socket s) {
  poller_->Remove(s);
  for (std::size_t i = 0; i < watched_.size(); ++i) {
    if (watched_[i].get() == c) {
      // Kept alive to the end of this turn: an event of the same wait may
      // still name it.
      retired_.push_back(std::move(watched_[i]));
      watched_[i] = std::move(watched_.back());
      watched_.pop_back();
      break;
    }
  }
}

void Loop::Deadline(Conn* c, Clock::time_point at) {
  if (c->timerSet_) {
    timers_.erase(c->timer_);
    c->timerSet_ = false;
  }
  if (at == Clock::time_point{}) return;
  c->timer_ = timers_.emplace(at, c);
  c->timerSet_ = true;
}

int Loop::TimeoutMs() const {
  if (timers_.empty()) return -1;
  const auto left = timers_.begin()->first - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  // Rounded up, so that a wake-up never comes before its deadline.
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
}

void Loop::RunPosted() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_.swap(posted_);
  }
  for (const std::shared_ptr<Conn>& c : running_) {
    const uint32_t ops = c->ops_.exchange(0, std::memory_order_acq_rel);
    if (ops != 0) c->OnOps(ops);
  }
  running_.clear();
}

void Loop::RunDue() {
  const auto now = Clock::now();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    Conn* c = timers_.begin()->second;
    timers_.erase(timers_.begin());
    c->timerSet_ = false;
    c->OnDeadline();
  }
}

void Loop::Run(std::shared_ptr<ClientState> owner) {
  threadId_.store(std::this_thread::get_id(), std::memory_order_release);
  if (owner) owner->ThreadBegins();
  Poller::Event events[kEventsPerWait];
  for (;;) {
    const int n = poller_->Wait(events, kEventsPerWait, TimeoutMs());
    for (int i = 0; i < n; ++i) {
      if (events[i].token == nullptr) {
        waker_.Drain();
        continue;
      }
      static_cast<Conn*>(events[i].token)->OnReady(events[i].ready);
    }
    RunPosted();
    RunDue();
    retired_.clear();
    bool stopping;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping = stopping_;
    }
    if (stopping && !stopSeen_) {
      stopSeen_ = true;
      std::vector<std::shared_ptr<Conn>> all = watched_;
      bool stays = false;
      for (const std::shared_ptr<Conn>& c : all) stays |= c->OnStopping();
      retired_.clear();
      if (stays) {
        std::lock_guard<std::mutex> lock(mu_);
        lingering_ = true;
        stateCv_.notify_all();
      }
    }
    if (stopSeen_ && watched_.empty()) break;
  }
  if (owner) owner->ThreadEnds();
  // Posted work of connections that never ran goes with the loop.
  {
    std::lock_guard<std::mutex> lock(mu_);
    posted_.clear();
  }
  timers_.clear();
  std::lock_guard<std::mutex> lock(mu_);
  ended_ = true;
  stateCv_.notify_all();
}

}  // namespace Nimbo2
