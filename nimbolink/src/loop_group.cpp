#include "engine.h"

#include <algorithm>
#include <string>
#include <thread>

namespace Nimbo2 {

LoopGroup& LoopGroup::Shared() {
  // Made on first use; at unload or exit it goes only when its loops have
  // stopped (a host that exits with clients running keeps them going).
  static LoopGroup* group = new LoopGroup();
  static struct Reaper {
    ~Reaper() {
      bool idle;
      {
        std::lock_guard<std::mutex> lock(group->mu_);
        idle = group->loops_.empty();
      }
      if (idle) delete group;
    }
  } reaper;
  return *group;
}

bool LoopGroup::SetThreads(uint32_t threads) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!loops_.empty() || threads > 64) return false;
  threads_ = threads;
  return true;
}

bool LoopGroup::Running() {
  std::lock_guard<std::mutex> lock(mu_);
  return !loops_.empty();
}

std::shared_ptr<Loop> LoopGroup::Acquire(int* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (loops_.empty()) {
    uint32_t n = threads_;
    if (n == 0) n = std::max(1u, std::thread::hardware_concurrency()) + 1;
    for (uint32_t i = 0; i < n; ++i) {
      std::shared_ptr<Loop> loop = Loop::Make(true, error);
      const std::string name = "kelvo-loop-" + std::to_string(i);
      if (!loop || !loop->Start(name.c_str(), nullptr, error)) {
        for (auto& l : loops_) l->Stop();
        loops_.clear();
        return nullptr;
      }
      loops_.push_back(std::move(loop));
    }
  }
  std::shared_ptr<Loop> best = loops_[0];
  for (const auto& l : loops_) {
    if (l->clients.load() < best->clients.load()) best = l;
  }
  best->clients.fetch_add(1);
  ++users_;
  return best;
}

void LoopGroup::Release(const std::shared_ptr<Loop>& loop) {
  std::vector<std::shared_ptr<Loop>> stopping;
  {
    std::lock_guard<std::mutex> lock(mu_);
    loop->clients.fetch_sub(1);
    if (--users_ > 0) return;
    stopping.swap(loops_);
  }
  for (auto& l : stopping) l->Stop();
}

}  // namespace Nimbo2
