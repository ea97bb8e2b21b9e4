// kelvo-replay: plays a recording of a client's inbound stream (made with
// `kelvo-cli --record FILE` or KELVO_RECORD=FILE) into the real client
// module, through a loopback server of its own, and prints every event the
// way kelvo-cli does. A field report becomes a run anyone can repeat.
//
// Each connection of the recording is replayed as one connection: the
// client connects to the loopback server, which sends the recorded messages
// (at once, or with the recorded pacing) and reads and drops whatever the
// client sends. A connection the server ended in the recording is ended the
// same way here; one the recording leaves open is closed by this host once
// the client has handled every message.
//
// It also turns a recording into an input for the sequence fuzzer
// (fuzz/fuzz_sequence.cpp): a mode byte, then [u16 LE length][message] for
// each of the first 64 messages.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "host_sink.h"
#include "module.h"
#include "nimbo2/recorder.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr auto kEventTimeout = std::chrono::seconds(10);
constexpr std::size_t kFuzzMaxMessages = 64;

using Nimbo2::RecordedEvent;
using Nimbo2::Recorder;

// Sent after the last message of a connection the recording leaves open:
// category 11 with an id the client does not define, so the client answers
// with one log line and nothing else. That line, arriving after every
// recorded message was handled, tells the host it may close.
constexpr uint8_t kMarkerId = 255;
const uint8_t kMarker[4] = {4, 0, 11 << 2, kMarkerId};
const char kMarkerLog[] = "ImServerClient::HandleMessage() undefine msg ID=255!";

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: kelvo-replay [--lib PATH] [--paced] FILE\n"
               "       kelvo-replay --list FILE\n"
               "       kelvo-replay --fuzz-corpus OUT [--mode N] FILE\n"
               "  --lib PATH         client module to load (default %s)\n"
               "  --paced            keep the recorded time between messages\n"
               "  --list             print the records, one line each\n"
               "  --fuzz-corpus OUT  write the first %zu messages as a sequence-fuzzer input\n"
               "  --mode N           the fuzzer input's mode byte (default 0)\n",
               KELVO_DEFAULT_MODULE, kFuzzMaxMessages);
}

// The CLI's sink, with the connection events and the marker's log line
// also counted for the replay's own waits.
class ReplaySink : public kelvo_cli::HostSink {
 public:
  explicit ReplaySink(kelvo_cli::Console& console) : HostSink(console) {}

  void KELVO_CALL OnConnect(uint32_t state) override {
    HostSink::OnConnect(state);
    Bump(&connects_);
  }
  void KELVO_CALL OnClose(uint32_t reason) override {
    HostSink::OnClose(reason);
    Bump(&closes_);
  }
  void KELVO_CALL OnLog(const char* text) override {
    if (text != nullptr && std::strcmp(text, kMarkerLog) == 0 && markersExpected_ > 0) {
      // Recorded messages with the marker's id print as usual; only the
      // extra one sent by the replay is swallowed.
      std::lock_guard<std::mutex> lock(mu_);
      if (++markersSeen_ == markersExpected_) {
        changed_.notify_all();
        return;
      }
    }
    HostSink::OnLog(text);
  }

  unsigned connects() {
    std::lock_guard<std::mutex> lock(mu_);
    return connects_;
  }
  unsigned closes() {
    std::lock_guard<std::mutex> lock(mu_);
    return closes_;
  }
  void ExpectMarker(unsigned count) {
    std::lock_guard<std::mutex> lock(mu_);
    markersSeen_ = 0;
    markersExpected_ = count;
  }
  // Waits until `*counter` (one of the counts above) reaches `target`.
  bool WaitConnects(unsigned target) { return WaitFor(&connects_, target); }
  bool WaitCloses(unsigned target) { return WaitFor(&closes_, target); }
  bool WaitMarker() {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, kEventTimeout, [&] { return markersSeen_ >= markersExpected_; });
  }

 private:
  void Bump(unsigned* counter) {
    std::lock_guard<std::mutex> lock(mu_);
    ++*counter;
    changed_.notify_all();
  }
  bool WaitFor(unsigned* counter, unsigned target) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, kEventTimeout, [&] { return *counter >= target; });
  }

  std::mutex mu_;
  std::condition_variable changed_;
  unsigned connects_ = 0;
  unsigned closes_ = 0;
  unsigned markersSeen_ = 0;
  unsigned markersExpected_ = 0;
};

// One connection of the recording.
struct Session {
  std::vector<const RecordedEvent*> messages;
  uint64_t start = 0;      // time of its connected mark
  bool endedByPeer = false;
};

// Splits the records into connections. Messages before the first connected
// mark (a recording that began mid-connection) form a connection of their
// own.
std::vector<Session> SplitSessions(const std::vector<RecordedEvent>& events) {
  std::vector<Session> sessions;
  bool open = false;
  for (const RecordedEvent& e : events) {
    if (e.kind == Recorder::kConnected || (e.kind == Recorder::kMessage && !open)) {
      sessions.emplace_back();
      sessions.back().start = e.micros;
      open = true;
    }
    if (e.kind == Recorder::kMessage) sessions.back().messages.push_back(&e);
    if (e.kind == Recorder::kClosed && open) {
      sessions.back().endedByPeer = true;
      open = false;
    }
  }
  return sessions;
}

bool WriteAll(int fd, const uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int ListRecords(const std::vector<RecordedEvent>& events) {
  for (const RecordedEvent& e : events) {
    const double ms = static_cast<double>(e.micros) / 1000.0;
    if (e.kind == Recorder::kConnected) {
      std::printf("%10.3f ms  connected\n", ms);
    } else if (e.kind == Recorder::kClosed) {
      std::printf("%10.3f ms  closed by the peer\n", ms);
    } else {
      std::printf("%10.3f ms  message id %u, %zu bytes\n", ms, unsigned{e.bytes[3]},
                  e.bytes.size());
    }
  }
  return 0;
}

int WriteFuzzInput(const std::vector<RecordedEvent>& events, const std::string& out,
                   unsigned mode) {
  std::vector<uint8_t> data{static_cast<uint8_t>(mode)};
  std::size_t count = 0;
  for (const RecordedEvent& e : events) {
    if (e.kind != Recorder::kMessage || count == kFuzzMaxMessages) continue;
    data.push_back(static_cast<uint8_t>(e.bytes.size()));
    data.push_back(static_cast<uint8_t>(e.bytes.size() >> 8));
    data.insert(data.end(), e.bytes.begin(), e.bytes.end());
    ++count;
  }
  std::ofstream file(out, std::ios::binary);
  file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!file) {
    std::fprintf(stderr, "kelvo-replay: cannot write %s\n", out.c_str());
    return kExitFailed;
  }
  std::fprintf(stderr, "kelvo-replay: %zu message(s) written to %s\n", count, out.c_str());
  return 0;
}

// A listening socket on 127.0.0.1 with a port of the system's choosing.
int Listen(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(at.sin_port);
  return fd;
}

// Plays one connection. Returns false (after saying why) when the client
// did not get as far as the recording did.
bool PlaySession(const Session& session, bool paced, int listener, uint16_t port,
                 kelvo::IImClient* client, ReplaySink& sink) {
  const unsigned connects = sink.connects();
  const unsigned closes = sink.closes();
  kelvo::ServerAddress address{};
  address.serverIp = INADDR_LOOPBACK;
  address.serverPort = port;
  if (!client->Connect(&address)) {
    std::fprintf(stderr, "kelvo-replay: the client refused to connect\n");
    return false;
  }
  const int peer = ::accept(listener, nullptr, nullptr);
  if (peer < 0 || !sink.WaitConnects(connects + 1)) {
    std::fprintf(stderr, "kelvo-replay: the client did not connect to the loopback server\n");
    if (peer >= 0) ::close(peer);
    return false;
  }
  // The client's requests are read and dropped, so it never blocks on a
  // full socket.
  std::thread drain([peer] {
    uint8_t buffer[4096];
    while (::recv(peer, buffer, sizeof buffer, 0) > 0) {
    }
  });

  // Counted before anything is sent: a recorded message with the marker's
  // id may be handled before the last write returns.
  unsigned markers = 1;
  for (const RecordedEvent* e : session.messages) {
    if ((e->bytes[2] & 0xFC) == kMarker[2] && e->bytes[3] == kMarkerId) ++markers;
  }
  if (!session.endedByPeer) sink.ExpectMarker(markers);
  const auto begin = std::chrono::steady_clock::now();
  bool ok = true;
  for (const RecordedEvent* e : session.messages) {
    if (paced) {
      std::this_thread::sleep_until(begin + std::chrono::microseconds(e->micros - session.start));
    }
    if (!WriteAll(peer, e->bytes.data(), e->bytes.size())) {
      std::fprintf(stderr, "kelvo-replay: the client closed the connection early\n");
      ok = false;
      break;
    }
  }

  if (ok && session.endedByPeer) {
    ::shutdown(peer, SHUT_RDWR);
    if (!sink.WaitCloses(closes + 1)) {
      std::fprintf(stderr, "kelvo-replay: the client did not notice the end of the connection\n");
      ok = false;
    }
  } else if (ok) {
    if (!WriteAll(peer, kMarker, sizeof kMarker) || !sink.WaitMarker()) {
      std::fprintf(stderr, "kelvo-replay: the client did not handle every message in time\n");
      ok = false;
    }
    sink.ExpectMarker(0);
    client->Close();
  }
  ::shutdown(peer, SHUT_RDWR);
  drain.join();
  ::close(peer);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string libraryPath = KELVO_DEFAULT_MODULE;
  std::string recordingPath;
  std::string corpusPath;
  unsigned mode = 0;
  bool paced = false;
  bool list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--lib" && i + 1 < argc) {
      libraryPath = argv[++i];
    } else if (arg == "--fuzz-corpus" && i + 1 < argc) {
      corpusPath = argv[++i];
    } else if (arg == "--mode" && i + 1 < argc) {
      mode = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 0)) & 0xFF;
    } else if (arg == "--paced") {
      paced = true;
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "-h" || arg == "--help") {
      PrintUsage(stdout);
      return 0;
    } else if (!arg.empty() && arg[0] != '-' && recordingPath.empty()) {
      recordingPath = arg;
    } else {
      PrintUsage(stderr);
      return kExitUsage;
    }
  }
  if (recordingPath.empty()) {
    PrintUsage(stderr);
    return kExitUsage;
  }

  std::vector<RecordedEvent> events;
  std::string error;
  if (!Nimbo2::ReadRecording(recordingPath, &events, &error)) {
    std::fprintf(stderr, "kelvo-replay: %s\n", error.c_str());
    return kExitFailed;
  }
  if (list) return ListRecords(events);
  if (!corpusPath.empty()) return WriteFuzzInput(events, corpusPath, mode);

  kelvo_cli::Module module;
  if (!module.Load(libraryPath, &error)) {
    std::fprintf(stderr, "kelvo-replay: cannot load %s: %s\n", libraryPath.c_str(),
                 error.c_str());
    return kExitUsage;
  }
  auto* client = static_cast<kelvo::IImClient*>(
      module.create()(&kelvo::IID_IImClient, kelvo::IM_INTERFACE_VERSION));
  if (client == nullptr) {
    std::fprintf(stderr, "kelvo-replay: the module refused interface version %08X\n",
                 kelvo::IM_INTERFACE_VERSION);
    return kExitUsage;
  }
  kelvo_cli::Console console(stdout);
  ReplaySink sink(console);
  sink.SetClient(client);
  if (!client->SetSink(&sink)) {
    std::fprintf(stderr, "kelvo-replay: the client did not take the callback object\n");
    client->Release();
    return kExitUsage;
  }

  uint16_t port = 0;
  const int listener = Listen(&port);
  int status = 0;
  if (listener < 0) {
    std::fprintf(stderr, "kelvo-replay: cannot listen on 127.0.0.1: %s\n", std::strerror(errno));
    status = kExitFailed;
  } else {
    for (const Session& session : SplitSessions(events)) {
      if (!PlaySession(session, paced, listener, port, client, sink)) {
        status = kExitFailed;
        break;
      }
    }
    ::close(listener);
  }
  client->Release();
  return status;
}
