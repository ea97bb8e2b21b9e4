// The CLI's single output channel. Events arrive on the library's network
// thread while commands run on the main thread, so every line goes through
// one mutex; `wait` blocks on a condition variable until a matching line has
// been printed.
//
// With readline active (interactive terminal), a line printed while the user
// is typing clears the input line first and redraws it afterwards, so events
// never end up in the middle of what is being typed.
#ifndef KELVO_TOOLS_KELVO_CLI_CONSOLE_H_
#define KELVO_TOOLS_KELVO_CLI_CONSOLE_H_

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kelvo_cli {

// Whether `line` contains `pattern`, where a '*' in the pattern stands for
// any run of characters: "OnChatMessage*from=1002*hello" matches the pieces
// in that order.
bool Matches(const std::string& line, const std::string& pattern);

class Console {
 public:
  explicit Console(std::FILE* out) : out_(out) {}

  // An event or a command's answer: printed, and visible to Wait.
  void Event(const std::string& line);
  // Command echo and notes: printed, never matched by Wait.
  void Note(const std::string& line);

  // Waits until a line matching `pattern` is printed that no earlier Wait
  // matched, looking back to the start of the last Wait that had to wait
  // for its line. So events that raced each other may be waited for in any
  // order (an event that came before the line an earlier Wait matched is
  // still there for a later one), several lines printed by one command can
  // be waited for one after the other, and lines printed before a Wait that
  // had to wait never satisfy a later one. Consumes the matched line. False
  // on timeout.
  bool Wait(const std::string& pattern, std::chrono::milliseconds timeout);

  // Pump mode: events are printed only when the host pumps, on its own
  // thread. `pump` runs the queued events, waiting up to the given time for
  // one to arrive; Wait and Idle call it without holding the console's lock
  // (the events it runs print through Event).
  void SetPump(std::function<void(std::chrono::milliseconds)> pump) { pump_ = std::move(pump); }
  bool Pumping() const { return static_cast<bool>(pump_); }
  // Runs whatever is queued now (pump mode only).
  void Idle() {
    if (pump_) pump_(std::chrono::milliseconds(0));
  }

  // Number of event lines printed so far.
  std::size_t EventCount() const;

  // Interactive mode: the main thread holds this lock while readline reads
  // a character, so readline's state is only touched under it.
  std::mutex& mutex() { return mutex_; }
  void SetPromptActive(bool active) { promptActive_ = active; }

 private:
  void PrintLocked(const std::string& line);

  std::FILE* out_;
  mutable std::mutex mutex_;
  std::condition_variable printed_;
  std::vector<std::string> events_;
  std::vector<bool> consumed_;
  std::size_t since_ = 0;
  bool promptActive_ = false;
  std::function<void(std::chrono::milliseconds)> pump_;
};

}  // namespace kelvo_cli

#endif  // KELVO_TOOLS_KELVO_CLI_CONSOLE_H_
