// A recording sink whose calls can be waited for from the test thread, and
// whose hook may call back into the client (or throw) after each call.
#ifndef KELVO_TESTS_SUPPORT_WAITING_SINK_H_
#define KELVO_TESTS_SUPPORT_WAITING_SINK_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/recording_sink.h"

namespace kelvo {
namespace test {

// A recording sink whose calls can be waited for from the test thread.
class WaitingSink : public test::RecordingSink {
 public:
  WaitingSink() {
    onCall = [this](const std::string& name) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        names_.push_back(name);
        cv_.notify_all();
      }
      if (hook) hook(name);
    };
  }
  // Waits until `name` has been called `times` times in all.
  bool WaitFor(const std::string& name, int times = 1, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return Count(name) >= times; });
  }
  int CountOf(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    return Count(name);
  }
  std::vector<std::string> Names() {
    std::lock_guard<std::mutex> lock(mu_);
    return names_;
  }
  std::function<void(const std::string&)> hook;

 private:
  int Count(const std::string& name) const {
    int n = 0;
    for (const auto& s : names_) n += s == name;
    return n;
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> names_;
};

}  // namespace test
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_WAITING_SINK_H_
