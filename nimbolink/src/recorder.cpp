#include "nimbo2/recorder.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "nimbo2/msg_head.h"

namespace Nimbo2 {

namespace {

void PutLe(uint8_t* out, uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLe(const uint8_t* in, std::size_t width) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= uint64_t{in[i]} << (8 * i);
  return value;
}

}  // namespace

std::unique_ptr<Recorder> Recorder::FromEnvironment() {
  const char* path = std::getenv(kEnvironmentVariable);
  if (path == nullptr || *path == '\0') return nullptr;
  // Several clients in one process must not write into one file.
  static std::atomic<unsigned> clients{0};
  const unsigned n = ++clients;
  const std::string target = n == 1 ? std::string(path) : path + ("." + std::to_string(n));
  std::unique_ptr<Recorder> recorder = Create(target);
  if (!recorder) {
    std::fprintf(stderr, "nimbolink: cannot record to %s: %s\n", target.c_str(),
                 std::strerror(errno));
  }
  return recorder;
}

std::unique_ptr<Recorder> Recorder::Create(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return nullptr;
  uint8_t header[kHeaderSize] = {};
  std::memcpy(header, kMagic, sizeof kMagic);
  PutLe(header + 8, kVersion, 2);
  if (std::fwrite(header, 1, sizeof header, file) != sizeof header || std::fflush(file) != 0) {
    std::fclose(file);
    return nullptr;
  }
  return std::unique_ptr<Recorder>(new Recorder(file));
}

Recorder::Recorder(std::FILE* file) : file_(file), start_(std::chrono::steady_clock::now()) {}

Recorder::~Recorder() { std::fclose(file_); }

void Recorder::Write(Kind kind, const uint8_t* bytes, std::size_t size) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start_)
                          .count();
  uint8_t head[kRecordHeadSize];
  head[0] = kind;
  PutLe(head + 1, static_cast<uint64_t>(micros), 8);
  PutLe(head + 9, size, 4);
  // A full disk loses the recording's tail, never the connection.
  if (std::fwrite(head, 1, sizeof head, file_) != sizeof head) return;
  if (size != 0 && std::fwrite(bytes, 1, size, file_) != size) return;
  std::fflush(file_);
}

bool ReadRecording(const std::string& path, std::vector<RecordedEvent>* events,
                   std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  auto fail = [&](const std::string& what, std::size_t offset) {
    *error = path + ": " + what + " (at byte " + std::to_string(offset) + ")";
    return false;
  };
  if (data.size() < Recorder::kHeaderSize ||
      std::memcmp(data.data(), Recorder::kMagic, sizeof Recorder::kMagic) != 0) {
    return fail("not a Kelvo recording: it does not begin with KELVOREC", 0);
  }
  const uint64_t version = GetLe(data.data() + 8, 2);
  if (version != Recorder::kVersion) {
    return fail("recording format version " + std::to_string(version) +
                    ", this reader knows version " + std::to_string(Recorder::kVersion),
                8);
  }
  events->clear();
  std::size_t pos = Recorder::kHeaderSize;
  uint64_t last = 0;
  for (std::size_t index = 1; pos < data.size(); ++index) {
    const std::string which = "record " + std::to_string(index);
    if (data.size() - pos < Recorder::kRecordHeadSize) {
      return fail("truncated: " + which + " has an incomplete head", pos);
    }
    RecordedEvent event;
    event.kind = data[pos];
    event.micros = GetLe(&data[pos + 1], 8);
    const uint64_t size = GetLe(&data[pos + 9], 4);
    if (data.size() - pos - Recorder::kRecordHeadSize < size) {
      return fail("truncated: " + which + " announces " + std::to_string(size) +
                      " bytes, the file ends before them",
                  pos);
    }
    switch (event.kind) {
      case Recorder::kConnected:
      case Recorder::kClosed:
        if (size != 0) return fail("corrupt: " + which + " is a connection mark with data", pos);
        break;
      case Recorder::kMessage: {
        const uint8_t* message = &data[pos + Recorder::kRecordHeadSize];
        if (size < NimboMsgHead::kSize || NimboMsgHead::Length(message) != size) {
          return fail("corrupt: " + which + " holds " + std::to_string(size) +
                          " bytes but is not one framed message of that length",
                      pos);
        }
        break;
      }
      default:
        return fail("corrupt: " + which + " has unknown kind " + std::to_string(event.kind), pos);
    }
    if (event.micros < last) return fail("corrupt: " + which + " goes back in time", pos);
    last = event.micros;
    const auto begin = data.begin() + static_cast<std::ptrdiff_t>(pos + Recorder::kRecordHeadSize);
    event.bytes.assign(begin, begin + static_cast<std::ptrdiff_t>(size));
    events->push_back(std::move(event));
    pos += Recorder::kRecordHeadSize + size;
  }
  return true;
}

}  // namespace Nimbo2
