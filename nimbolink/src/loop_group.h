// The process's shared loops (see engine.h).
#ifndef NIMBO2_SRC_LOOP_GROUP_H_
#define NIMBO2_SRC_LOOP_GROUP_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "loop.h"

namespace Nimbo2 {

// The shared loops of the process.
class LoopGroup {
 public:
  static LoopGroup& Shared();
  // 1 to 64, or 0 for cores + 1; only while no loop runs.
  bool SetThreads(uint32_t threads);
  bool Running();
  // A loop for one more client: the least busy one; starts the group when
  // it is not running. Null with *error when its threads cannot start.
  std::shared_ptr<Loop> Acquire(int* error);
  // The client placed on `loop` is gone; the last one stops the group.
  void Release(const std::shared_ptr<Loop>& loop);

 private:
  std::mutex mu_;
  uint32_t threads_ = 0;
  int users_ = 0;
  std::vector<std::shared_ptr<Loop>> loops_;
};

}  // namespace Nimbo2

#endif  // NIMBO2_SRC_LOOP_GROUP_H_
