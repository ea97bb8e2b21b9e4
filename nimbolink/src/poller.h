// Readiness of a loop's sockets: poll(2) (WSAPoll on Windows) for a loop
// with a handful of sockets, epoll for a loop that serves many. Touched only
// by the loop's own thread.
#ifndef NIMBO2_SRC_POLLER_H_
#define NIMBO2_SRC_POLLER_H_

#include <cstdint>
#include <memory>

#include "net.h"

namespace Nimbo2 {

class Poller {
 public:
  // kError: an error or a hang-up; kFault: the system flagged an error
  // (POLLERR) as such.
  enum : uint32_t { kIn = 1, kOut = 2, kError = 4, kFault = 8 };
  struct Event {
    void* token;
    uint32_t ready;
  };

  virtual ~Poller() = default;
  // `interest` is kIn|kOut; errors are always reported. False with *error
  // when the system refuses.
  virtual bool Add(net::Socket s, void* token, uint32_t interest, int* error) = 0;
  virtual void Modify(net::Socket s, void* token, uint32_t interest) = 0;
  virtual void Remove(net::Socket s) = 0;
  // Waits up to `timeoutMs` (-1: no limit) and fills at most `max` events;
  // returns how many (0 on timeout or interruption).
  virtual int Wait(Event* out, int max, int timeoutMs) = 0;

  // `many`: epoll where there is one (a loop shared by many clients).
  static std::unique_ptr<Poller> Make(bool many, int* error);
};

}  // namespace Nimbo2

#endif  // NIMBO2_SRC_POLLER_H_
