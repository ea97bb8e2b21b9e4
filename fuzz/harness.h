// What the fuzz targets share: a client over a socket stand-in that accepts
// every send, tables filled with known entries, and a sink that calls back
// into the client from inside its callbacks.
#ifndef KELVO_FUZZ_HARNESS_H_
#define KELVO_FUZZ_HARNESS_H_

#include <cstddef>
#include <cstdint>

#include "core/im_server_client.h"

namespace kelvo {
namespace fuzz {

// A client with a hostile-but-legal sink attached and its tables filled.
// `mode` (taken from the input) decides what the sink does from inside its
// callbacks: lookups, enumerations, ReplyAddRequest, Close, Release.
class Harness {
 public:
  // `pump`: the client delivers in pump mode, and each Deliver pumps
  // everything queued. `observer` (may be null) hears every callback first.
  explicit Harness(uint8_t mode, bool pump = false, IImClientSink* observer = nullptr);
  ~Harness();
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  // Copies `size` bytes into an exactly-sized heap buffer (so an over-read
  // is caught) whose length word is forced to `size`, and delivers it.
  void Deliver(const uint8_t* data, std::size_t size);
  ImServerClient* client() { return client_; }

 private:
  class Sink;
  Sink* sink_;
  bool pump_;
  ImServerClient* client_;
};

}  // namespace fuzz
}  // namespace kelvo

#endif  // KELVO_FUZZ_HARNESS_H_
