// Recording a socket client's inbound stream, so a field report can be
// replayed (tools/kelvo_replay) or turned into a fuzz input.
//
// Off unless the environment variable KELVO_RECORD names a file when a
// TCPClient_Socks5 is constructed. The first client of the process records
// to that path, later ones to "PATH.2", "PATH.3", ... An existing file is
// replaced.
//
// File format, version 1, every integer little-endian:
//
//   header   8 bytes "KELVOREC", u16 version (1), u16 reserved (0)
//   record   u8 kind, u64 microseconds since the recorder was created,
//            u32 size, then `size` bytes
//
//   kind 1   connected: the connection is up (size 0)
//   kind 2   message: one framed inbound message exactly as the worker was
//            handed it, before the worker saw it (size = its length L)
//   kind 3   closed: an established connection ended from the far side or
//            by an I/O error (size 0); a close asked for by the host is not
//            recorded
//
// Every record is flushed when written, so a recording cut short by a crash
// is read up to its last whole record.
#ifndef NIMBO2_RECORDER_H_
#define NIMBO2_RECORDER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace Nimbo2 {

class Recorder {
 public:
  static constexpr char kEnvironmentVariable[] = "KELVO_RECORD";
  static constexpr char kMagic[8] = {'K', 'E', 'L', 'V', 'O', 'R', 'E', 'C'};
  static constexpr uint16_t kVersion = 1;
  static constexpr std::size_t kHeaderSize = 12;
  static constexpr std::size_t kRecordHeadSize = 13;
  enum Kind : uint8_t { kConnected = 1, kMessage = 2, kClosed = 3 };

  // A recorder when KELVO_RECORD is set and its file could be created, else
  // null (a file that cannot be created is reported once on stderr).
  static std::unique_ptr<Recorder> FromEnvironment();
  // Creates (replaces) `path` and writes the header; null on failure.
  static std::unique_ptr<Recorder> Create(const std::string& path);

  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  void Connected() { Write(kConnected, nullptr, 0); }
  void Message(const uint8_t* message, std::size_t length) { Write(kMessage, message, length); }
  void Closed() { Write(kClosed, nullptr, 0); }

 private:
  explicit Recorder(std::FILE* file);
  void Write(Kind kind, const uint8_t* bytes, std::size_t size);

  std::FILE* file_;
  const std::chrono::steady_clock::time_point start_;
};

// One record of a recording, as read back.
struct RecordedEvent {
  uint8_t kind = 0;
  uint64_t micros = 0;
  std::vector<uint8_t> bytes;
};

// Reads and checks a whole recording. On failure returns false with a
// sentence in *error that names the file, what is wrong and where.
bool ReadRecording(const std::string& path, std::vector<RecordedEvent>* events,
                   std::string* error);

}  // namespace Nimbo2

#endif  // NIMBO2_RECORDER_H_
