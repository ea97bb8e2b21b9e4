#include <cstdarg>
#include <cstdio>

#include "core/im_server_client.h"

namespace kelvo {

namespace {
// One diagnostic text, terminator included. vsnprintf cuts anything longer.
constexpr std::size_t kLogBufferSize = 512;
}  // namespace

uint32_t ImServerClient::FormatLog(uint32_t code, const char* format, ...) {
  IImClientSink* sink = sink_;
  if (sink == nullptr) return code;
  char buffer[kLogBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  sink->OnLog(buffer);
  return code;
}

}  // namespace kelvo
