#include "console.h"

#include <algorithm>
#include <cstdlib>

#if defined(KELVO_HAVE_READLINE)
#include <readline/readline.h>
#endif

namespace kelvo_cli {

bool Matches(const std::string& line, const std::string& pattern) {
  std::size_t at = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t star = pattern.find('*', start);
    const std::string piece = pattern.substr(start, star == std::string::npos ? star : star - start);
    const std::size_t found = line.find(piece, at);
    if (found == std::string::npos) return false;
    at = found + piece.size();
    if (star == std::string::npos) return true;
    start = star + 1;
  }
}

void Console::PrintLocked(const std::string& line) {
#if defined(KELVO_HAVE_READLINE)
  if (promptActive_) {
    // Take the half-typed input off the screen, print, then put it back.
    const int point = rl_point;
    char* typed = rl_copy_text(0, rl_end);
    rl_save_prompt();
    rl_replace_line("", 0);
    rl_redisplay();
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
    rl_restore_prompt();
    rl_replace_line(typed, 0);
    rl_point = point;
    rl_redisplay();
    std::free(typed);
    return;
  }
#endif
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void Console::Event(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    PrintLocked(line);
    events_.push_back(line);
    consumed_.push_back(false);
  }
  printed_.notify_all();
}

void Console::Note(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  PrintLocked(line);
}

bool Console::Wait(const std::string& pattern, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::size_t from = since_;
  const std::size_t start = events_.size();
  since_ = start;
  std::size_t scanned = from;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (; scanned < events_.size(); ++scanned) {
      if (!consumed_[scanned] && Matches(events_[scanned], pattern)) {
        consumed_[scanned] = true;
        // A line that arrived while this wait ran moves the window up to the
        // wait's start. A line that was already there moves nothing: other
        // lines that came early with it stay visible to the next wait.
        since_ = scanned >= start ? start : from;
        return true;
      }
    }
    bool timedOut;
    if (pump_) {
      // Nothing prints unless this thread pumps: let go of the lock, run
      // what arrives for a short slice, and look again.
      const auto now = std::chrono::steady_clock::now();
      timedOut = now >= deadline;
      if (!timedOut) {
        const auto slice = std::min<std::chrono::steady_clock::duration>(
            deadline - now, std::chrono::milliseconds(20));
        lock.unlock();
        pump_(std::chrono::duration_cast<std::chrono::milliseconds>(slice));
        lock.lock();
        continue;
      }
    } else {
      timedOut = printed_.wait_until(lock, deadline) == std::cv_status::timeout;
    }
    if (timedOut) {
      // One last look: a line may have landed together with the timeout.
      for (; scanned < events_.size(); ++scanned) {
        if (!consumed_[scanned] && Matches(events_[scanned], pattern)) {
          consumed_[scanned] = true;
          return true;
        }
      }
      return false;
    }
  }
}

std::size_t Console::EventCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

}  // namespace kelvo_cli
