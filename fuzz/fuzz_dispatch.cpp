// One arbitrary message into a client whose tables are filled and whose sink
// calls back into it. The first input byte picks what the sink does.
#include <cstddef>
#include <cstdint>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  kelvo::fuzz::Harness harness(data[0]);
  harness.Deliver(data + 1, size - 1);
  return 0;
}
