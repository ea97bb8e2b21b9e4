// Waiting for a state only counters show, and reading what the process
// holds: its loop threads and its descriptors.
#ifndef KELVO_TESTS_SUPPORT_PROCESS_WATCH_H_
#define KELVO_TESTS_SUPPORT_PROCESS_WATCH_H_

#include <chrono>
#include <functional>

namespace kelvo {
namespace test {

// Polls `done` every millisecond until it holds (true) or `limit` passed
// (false).
bool Eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(5));

#if defined(__linux__)
// Threads of this module's loops, by their names ("kelvo-..."): a
// sanitizer's runtime may start threads of its own at any moment.
int LoopThreads();
// Descriptors the process holds.
int OpenDescriptors();
#endif

}  // namespace test
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_PROCESS_WATCH_H_
