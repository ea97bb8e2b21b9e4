// End-to-end ratios of the client against raw sockets, in one process.
//
// Each figure pairs the real client (ImServerClient over the real socket
// client, connected to a loopback server) with a raw baseline on the same
// byte stream, measured in the same run, and prints the ratio:
//
//   inbound   the server writes N messages in bulk, then a chat message as a
//             sentinel; time from the first byte written until the receiver
//             has the sentinel. Baseline: blocking recv into 64 KiB and a
//             framing loop that only counts messages. Ratio = raw time /
//             client time (1.0 = as fast as the bare loop).
//   round     SendChatMessage, the server echoes a 279-byte chat message,
//             OnChatMessage issues the next send from inside the callback
//   trip      (on the network thread). Baseline: one thread that sends the
//             same request with a blocking send, then waits in a blocking
//             recv for the reply. Ratio = client median / raw median. Pump
//             mode is printed beside it: the host thread sends, then sleeps
//             in WaitForEvents and runs the callback in Pump.
//   memory    heap bytes per friend at 100,000 friends (glibc's arena bytes
//             in use plus the blocks it maps on their own), and resident
//             bytes.
//   roster    inbound as above, for roster loads: 1,420-byte user lists of
//   lists     59 friends (24-byte entries) that only update friends on the
//             roster, that only bring new ones, and the mix of a roster
//             resent over and over (ids cycling over 100,005 friends, a
//             fifth of the entries new); and the login burst: server info,
//             login ok, the own record, the group list and 10,000 friends
//             in 170 lists, the client's roster emptied by each login, 20
//             logins back to back, time from the first byte of the first
//             login answer until the last list is stored.
//
// Each pair runs three times and the median ratio is printed.
//
//   kelvo_e2e_ratio [scale]                  every figure (scale multiplies
//                                            the message counts)
//   kelvo_e2e_ratio scale presence|lists     one inbound pair, three runs
//   kelvo_e2e_ratio scale pump               both inbound pairs in both
//                                            delivery modes
//   kelvo_e2e_ratio scale rtt                the round trips alone
//   kelvo_e2e_ratio scale roster             the roster list pairs alone
//   kelvo_e2e_ratio count KIND N [pump] [walked] [built=M]
//                                            one client run and one raw run
//                                            of exactly N messages, for an
//                                            instruction counter (tools/
//                                            callgrind_inbound.sh, bench/e2e/
//                                            callgrind_lists.sh); KIND is
//                                            presence, lists, updates,
//                                            inserts, mixed or burst (N
//                                            logins); built=M builds the
//                                            stream of M messages and sends
//                                            its first N, so that two runs
//                                            differ in what is sent alone;
//                                            walked: the host enumerates
//                                            the roster before the stream
//
// The sender must not be what limits the raw reader: the server writes the
// pre-built stream in writes of kWriteChunk bytes with a large send buffer,
// and a check run gives the raw reader the stream in writes four times
// larger; when the raw rate does not rise with it, the baseline is the
// reader's own limit. Raw rates are printed in GB/s beside the ratios.
//
// CPU placement: in the pinned variant the server thread is pinned to one
// CPU (A) and the receiving side to another (B), the same for both members
// of a pair; the unpinned variant leaves placement to the scheduler. The
// client's message thread is started by its first Connect and inherits the
// affinity of the thread that calls Connect, so that call is made with the
// calling thread pinned to B; the raw receiver thread pins itself to B. With
// a single allowed CPU, A and B are the same CPU.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_wire.h"
#include "core/im_server_client.h"

namespace kelvo {
namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

int64_t Ns(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}

// ---------------------------------------------------------------------------
// CPU placement.

cpu_set_t gOriginalMask;
int gCpuServer = 0;
int gCpuClient = 0;
bool gPinned = true;  // the variant under way

// Bytes per write of the inbound server, and its send buffer.
std::size_t gWriteChunk = 256 * 1024;
constexpr int kServerSendBuffer = 4 << 20;

void ChooseCpus() {
  CPU_ZERO(&gOriginalMask);
  sched_getaffinity(0, sizeof gOriginalMask, &gOriginalMask);
  std::vector<int> allowed;
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (CPU_ISSET(c, &gOriginalMask)) allowed.push_back(c);
  }
  if (allowed.empty()) allowed.push_back(0);
  gCpuServer = allowed[0];
  gCpuClient = allowed.size() > 1 ? allowed[1] : allowed[0];
}

void PinThisThread(int cpu) {
  if (!gPinned) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);  // 0: the calling thread
}

void UnpinThisThread() { sched_setaffinity(0, sizeof gOriginalMask, &gOriginalMask); }

// ---------------------------------------------------------------------------
// Raw socket helpers.

bool SendAll(int fd, const uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

bool RecvAll(int fd, uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

void NoDelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int ConnectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  NoDelay(fd);
  return fd;
}

// A listener on 127.0.0.1 and an ephemeral port.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd_); }
  uint16_t port() const { return port_; }
  int Accept() {
    const int fd = ::accept(fd_, nullptr, nullptr);
    if (fd >= 0) NoDelay(fd);
    return fd;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// ---------------------------------------------------------------------------
// The client under test: the real socket client, a sink that times events.

// Pump mode for the clients made from now on (the "pump" argument).
bool gPump = false;
// The host enumerates the roster once after the fill (the "walked" word):
// the table then keeps its key order through the lists that follow.
bool gWalked = false;

class TimingSink : public NullSink {
 public:
  std::atomic<int> connectState{-1};
  std::atomic<bool> sentinel{false};
  Clock::time_point sentinelAt;
  // Round trips: when set, each chat message ends one and starts the next.
  std::function<void()> onChat;

  void KELVO_CALL OnConnect(uint32_t state) override {
    connectState.store(static_cast<int>(state), std::memory_order_release);
  }
  void KELVO_CALL OnChatMessage(MessageKind, uint32_t, const char*, uint8_t, uint8_t,
                                uint8_t) override {
    if (onChat) {
      onChat();
      return;
    }
    sentinelAt = Clock::now();
    sentinel.store(true, std::memory_order_release);
  }
};

template <typename Pred>
bool WaitFor(Pred&& pred, std::chrono::seconds limit = std::chrono::seconds(120)) {
  const auto deadline = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// A real client connected to `listener`; `serverFd` receives the accepted
// end. The client's message thread is created on CPU B.
std::unique_ptr<ImServerClient> ConnectClient(TimingSink& sink, Listener& listener,
                                              int* serverFd) {
  auto client = std::make_unique<ImServerClient>();
  client->SetSink(&sink);
  if (gPump && !client->SetDeliveryMode(KELVO_DELIVERY_PUMP)) {
    std::fprintf(stderr, "no pump mode\n");
    std::exit(2);
  }
  ServerAddress address{};
  address.serverIp = INADDR_LOOPBACK;
  address.serverPort = listener.port();
  PinThisThread(gCpuClient);
  const bool started = client->Connect(&address);
  UnpinThisThread();
  *serverFd = started ? listener.Accept() : -1;
  if (*serverFd < 0 || !WaitFor([&] {
        if (gPump) client->Pump(16);
        return sink.connectState.load() >= 0;
      }) ||
      sink.connectState.load() != 1) {
    std::fprintf(stderr, "client did not connect\n");
    std::exit(2);
  }
  return client;
}

// ---------------------------------------------------------------------------
// (a) Inbound throughput.

// The stream: `count` copies of `one`, then the sentinel chat message.
Bytes MakeStream(const Bytes& one, std::size_t count) {
  const Bytes sentinel = Chat(1005);
  Bytes s;
  s.reserve(one.size() * count + sentinel.size());
  for (std::size_t i = 0; i < count; ++i) s.insert(s.end(), one.begin(), one.end());
  s.insert(s.end(), sentinel.begin(), sentinel.end());
  return s;
}

// The stream: the first `count` of `messages`, then the sentinel.
Bytes MakeStream(const std::vector<Bytes>& messages, std::size_t count) {
  const Bytes sentinel = Chat(1005);
  std::size_t size = sentinel.size();
  for (std::size_t i = 0; i < count; ++i) size += messages[i].size();
  Bytes s;
  s.reserve(size);
  for (std::size_t i = 0; i < count; ++i) s.insert(s.end(), messages[i].begin(), messages[i].end());
  s.insert(s.end(), sentinel.begin(), sentinel.end());
  return s;
}

// Writes `stream` in bulk writes of gWriteChunk bytes from CPU A, noting
// when the first byte goes out, then waits for the peer to close.
void ServeStream(int fd, const Bytes& stream, Clock::time_point* firstByte) {
  PinThisThread(gCpuServer);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kServerSendBuffer, sizeof kServerSendBuffer);
  const std::size_t kWrite = gWriteChunk;
  *firstByte = Clock::now();
  for (std::size_t pos = 0; pos < stream.size(); pos += kWrite) {
    if (!SendAll(fd, stream.data() + pos, std::min(kWrite, stream.size() - pos))) break;
  }
  uint8_t sink[4096];
  while (::recv(fd, sink, sizeof sink, 0) > 0) {
  }
  ::close(fd);
}

// Client side. The roster is filled first, by a direct delivery, with the
// friends the stream talks about, so that every message is a steady-state
// update of an entry already present.
int64_t InboundClient(Listener& listener, const Bytes& stream, const std::vector<Bytes>& roster) {
  TimingSink sink;
  int serverFd = -1;
  auto client = ConnectClient(sink, listener, &serverFd);
  for (const Bytes& list : roster) {
    Bytes fill = list;
    client->HandleMessage(fill.data(), static_cast<uint32_t>(fill.size()), 0, 0);
  }
  if (gWalked) client->EnumUsers(0, 0, 0, 0, 0);
  Clock::time_point firstByte;
  std::thread server(ServeStream, serverFd, std::cref(stream), &firstByte);
  bool ok;
  if (gPump) {
    // The game loop: pump, and sleep in WaitForEvents when nothing is queued.
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (!sink.sentinel.load(std::memory_order_acquire) && Clock::now() < deadline) {
      if (client->Pump(4096) == 0) client->WaitForEvents(1);
    }
    ok = sink.sentinel.load(std::memory_order_acquire);
  } else {
    ok = WaitFor([&] { return sink.sentinel.load(std::memory_order_acquire); });
  }
  client->Close();  // the server sees EOF and ends
  server.join();    // after which firstByte may be read here
  client.reset();
  return ok ? Ns(sink.sentinelAt - firstByte) : -1;
}

// The bare loop: blocking recv into 64 KiB, frame, count, stop at the
// sentinel (id 73).
int64_t InboundRaw(Listener& listener, const Bytes& stream, uint64_t* counted) {
  int64_t ns = -1;
  Clock::time_point firstByte;
  std::thread receiver([&] {
    PinThisThread(gCpuClient);
    const int fd = ConnectLoopback(listener.port());
    if (fd < 0) return;
    constexpr std::size_t kRead = 64 * 1024;
    std::vector<uint8_t> buf(kRead + 0x8000);
    std::size_t have = 0;
    uint64_t messages = 0;
    bool done = false;
    while (!done) {
      const ssize_t n = ::recv(fd, buf.data() + have, kRead, 0);
      if (n <= 0) break;
      have += static_cast<std::size_t>(n);
      const ByteReader in(buf.data(), have);
      std::size_t pos = 0;
      while (have - pos >= kHeaderSize) {
        const std::size_t length = in.U16(pos) & 0x7FFF;
        if (length < kHeaderSize) {
          done = true;
          break;
        }
        if (have - pos < length) break;
        ++messages;
        if (in.U8(pos + 3) == IM_MSG_ID_USER_CHAT) {
          ns = Ns(Clock::now() - firstByte);
          done = true;
          break;
        }
        pos += length;
      }
      std::memmove(buf.data(), buf.data() + pos, have - pos);
      have -= pos;
    }
    *counted = messages;
    ::close(fd);
  });
  const int serverFd = listener.Accept();
  // firstByte is set by the server before its first send, so the receiver,
  // which reads it only after a message has arrived, sees it set.
  ServeStream(serverFd, stream, &firstByte);
  receiver.join();
  UnpinThisThread();
  return ns;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct InboundResult {
  double ratio;      // median of raw / client
  double clientMps;  // messages per second, client, median run
  double rawMps;
  double rawGBps;    // raw bytes per second / 1e9, median run
};

// `count` messages in `stream` before the sentinel; `roster` is delivered to
// each client before its run.
InboundResult InboundPairOf(const char* name, const Bytes& stream, std::size_t count,
                            const std::vector<Bytes>& roster) {
  Listener listener;
  std::vector<double> ratios, clientRates, rawRates, rawBytes;
  for (int run = 0; run < 3; ++run) {
    const int64_t client = InboundClient(listener, stream, roster);
    uint64_t counted = 0;
    const int64_t raw = InboundRaw(listener, stream, &counted);
    if (client <= 0 || raw <= 0 || counted != count + 1) {
      std::printf("%s: run %d failed (client %lld ns, raw %lld ns, %llu messages)\n", name, run,
                  static_cast<long long>(client), static_cast<long long>(raw),
                  static_cast<unsigned long long>(counted));
      std::exit(2);
    }
    const double c = static_cast<double>(count + 1) / (client * 1e-9);
    const double r = static_cast<double>(count + 1) / (raw * 1e-9);
    const double rawGB = static_cast<double>(stream.size()) / (raw * 1e-9) / 1e9;
    std::printf("  %-22s run %d: client %8.2f ms (%6.2f M msg/s, %5.2f GB/s)  raw %8.2f ms "
                "(%6.2f M msg/s, %5.2f GB/s)  ratio %.3f\n",
                name, run + 1, client * 1e-6, c * 1e-6,
                static_cast<double>(stream.size()) / (client * 1e-9) / 1e9, raw * 1e-6, r * 1e-6,
                rawGB, static_cast<double>(raw) / static_cast<double>(client));
    rawBytes.push_back(rawGB);
    ratios.push_back(static_cast<double>(raw) / static_cast<double>(client));
    clientRates.push_back(c);
    rawRates.push_back(r);
  }
  return {Median(ratios), Median(clientRates), Median(rawRates), Median(rawBytes)};
}

InboundResult InboundPair(const char* name, const Bytes& one, std::size_t count,
                          const Bytes& roster) {
  return InboundPairOf(name, MakeStream(one, count), count, {roster});
}

// ---------------------------------------------------------------------------
// (b) Round trips.

// The server: reads one request at a time (header, then the rest) and
// answers each with `reply`, from CPU A, until the peer closes.
void EchoServer(int fd, const Bytes& reply) {
  PinThisThread(gCpuServer);
  uint8_t buf[0x8000];
  for (;;) {
    if (!RecvAll(fd, buf, kHeaderSize)) break;
    const std::size_t length = ByteReader(buf, kHeaderSize).U16(0) & 0x7FFF;
    if (length < kHeaderSize || !RecvAll(fd, buf + kHeaderSize, length - kHeaderSize)) break;
    if (!SendAll(fd, reply.data(), reply.size())) break;
  }
  ::close(fd);
}

// A round trip's median and p99, and where the median trip's time goes:
// the median time spent in the send call, and (pump mode) from the send's
// return until WaitForEvents returned with the answer queued.
struct Latency {
  double median;
  double p99;
  double send = 0;
  double woken = 0;
};

double MedianOf(std::vector<int64_t> ns) {
  if (ns.empty()) return 0;
  std::sort(ns.begin(), ns.end());
  return static_cast<double>(ns[ns.size() / 2]);
}

Latency Summarise(std::vector<int64_t> ns, const std::vector<int64_t>& send = {},
                  const std::vector<int64_t>& woken = {}) {
  std::sort(ns.begin(), ns.end());
  return {static_cast<double>(ns[ns.size() / 2]),
          static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]), MedianOf(send),
          MedianOf(woken)};
}

const std::string kChatText(255, 't');

Latency RoundTripClient(Listener& listener, const Bytes& reply, int k) {
  TimingSink sink;
  int serverFd = -1;
  auto client = ConnectClient(sink, listener, &serverFd);
  std::thread server(EchoServer, serverFd, std::cref(reply));
  std::vector<int64_t> samples, sends, wakes;
  samples.reserve(static_cast<std::size_t>(k));
  sends.reserve(static_cast<std::size_t>(k));
  wakes.reserve(static_cast<std::size_t>(k));
  Clock::time_point sentAt;
  std::atomic<bool> done{false};
  ImServerClient* c = client.get();
  bool ok;
  if (gPump) {
    // The game's own thread: send, sleep until the answer is queued, run
    // its callback in Pump, send the next.
    bool answered = false;
    sink.onChat = [&] {
      samples.push_back(Ns(Clock::now() - sentAt));
      answered = true;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    for (int i = 0; i < k && Clock::now() < deadline; ++i) {
      answered = false;
      sentAt = Clock::now();
      if (!c->SendChatMessage(1005, 0, kChatText.c_str(), 1, 2, 3)) break;
      const auto sent = Clock::now();
      sends.push_back(Ns(sent - sentAt));
      Clock::time_point woke = sent;
      while (!answered && Clock::now() < deadline) {
        if (c->Pump(16) == 0 && c->WaitForEvents(1000)) woke = Clock::now();
      }
      wakes.push_back(Ns(woke - sent));
    }
    ok = static_cast<int>(samples.size()) == k;
  } else {
    sink.onChat = [&] {
      const auto now = Clock::now();
      samples.push_back(Ns(now - sentAt));
      if (static_cast<int>(samples.size()) == k) {
        done.store(true, std::memory_order_release);
        return;
      }
      sentAt = Clock::now();
      c->SendChatMessage(1005, 0, kChatText.c_str(), 1, 2, 3);
      sends.push_back(Ns(Clock::now() - sentAt));
    };
    sentAt = Clock::now();
    client->SendChatMessage(1005, 0, kChatText.c_str(), 1, 2, 3);
    ok = WaitFor([&] { return done.load(std::memory_order_acquire); });
  }
  client->Close();
  server.join();
  client.reset();
  if (!ok) {
    std::fprintf(stderr, "round trips did not finish\n");
    std::exit(2);
  }
  return Summarise(samples, sends, wakes);
}

Latency RoundTripRaw(Listener& listener, const Bytes& request, const Bytes& reply, int k) {
  std::vector<int64_t> samples, sends;
  samples.reserve(static_cast<std::size_t>(k));
  sends.reserve(static_cast<std::size_t>(k));
  std::thread client([&] {
    PinThisThread(gCpuClient);
    const int fd = ConnectLoopback(listener.port());
    if (fd < 0) return;
    std::vector<uint8_t> in(reply.size());
    for (int i = 0; i < k; ++i) {
      const auto sentAt = Clock::now();
      if (!SendAll(fd, request.data(), request.size())) break;
      sends.push_back(Ns(Clock::now() - sentAt));
      if (!RecvAll(fd, in.data(), in.size())) break;
      samples.push_back(Ns(Clock::now() - sentAt));
    }
    ::close(fd);
  });
  const int serverFd = listener.Accept();
  EchoServer(serverFd, reply);
  client.join();
  UnpinThisThread();
  if (static_cast<int>(samples.size()) != k) {
    std::fprintf(stderr, "raw ping-pong did not finish\n");
    std::exit(2);
  }
  return Summarise(samples, sends);
}

// The request SendChatMessage puts on the wire: 279 bytes, id 73.
Bytes ChatRequest() {
  Bytes m = Chat(1005);
  return m;
}

// ---------------------------------------------------------------------------
// (d) Memory per roster entry.

struct Memory {
  double heapPerEntry;
  double residentPerEntry;
};

long ResidentPages() {
  long size = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
  std::fclose(f);
  return resident;
}

// Heap bytes in use: the arenas' allocated chunks and the blocks glibc maps
// on their own (allocations above its mmap threshold, such as a table's
// index once it has grown), which uordblks leaves out.
std::size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

Memory RosterMemory(uint32_t friends) {
  // Built and filled with the network left out: the socket client's own
  // buffers are not roster memory.
  auto client = std::make_unique<ImServerClient>(
      [](Nimbo2::MsgWorker* w) -> Nimbo2::TCPClient_Socks5* { return new NullSocket(w); });
  std::vector<Bytes> lists;
  for (uint32_t first = 1; first <= friends; first += kFullUserListEntries) {
    const uint32_t count = std::min<uint32_t>(kFullUserListEntries, friends - first + 1);
    lists.push_back(UserList(first, count, 47));
  }
  malloc_trim(0);
  const std::size_t heapBefore = HeapInUse();
  const long pagesBefore = ResidentPages();
  for (Bytes& list : lists) {
    client->HandleMessage(list.data(), static_cast<uint32_t>(list.size()), 0, 0);
  }
  const std::size_t heapAfter = HeapInUse();
  const long pagesAfter = ResidentPages();
  if (client->users().size() != friends) {
    std::fprintf(stderr, "roster holds %zu friends, not %u\n", client->users().size(), friends);
    std::exit(2);
  }
  const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  return {static_cast<double>(heapAfter - heapBefore) / friends,
          static_cast<double>(pagesAfter - pagesBefore) * page / friends};
}

const char* Verdict(bool pass) { return pass ? "PASS" : "MISS"; }

// ---------------------------------------------------------------------------
// (e) Roster lists.

// A user list as the reference server packs friends with 6-byte names:
// 59 entries of 24 bytes, 1,420 bytes.
constexpr std::size_t kListFriends = 59;
constexpr std::size_t kListEntry = 24;
// The login burst: 10,000 friends, 170 lists.
constexpr uint32_t kBurstFriends = 10000;
// Messages of one login answer: server info, login ok, the own record, the
// group list and the friend lists.
constexpr std::size_t kBurstLists = (kBurstFriends + kListFriends - 1) / kListFriends;
constexpr std::size_t kBurstMessages = 4 + kBurstLists;

// `ids` as lists of up to 59 friends each, in order.
std::vector<Bytes> FriendLists(const std::vector<uint32_t>& ids) {
  std::vector<Bytes> lists;
  for (std::size_t first = 0; first < ids.size(); first += kListFriends) {
    const std::size_t n = std::min(kListFriends, ids.size() - first);
    Bytes list = UserList(1, n, kListEntry);
    ByteWriter out(list.data(), list.size());
    for (std::size_t i = 0; i < n; ++i) {
      out.U32(kHeaderSize + kListEntry * i + kUserEntryUserId, ids[first + i]);
    }
    lists.push_back(std::move(list));
  }
  return lists;
}

Bytes Header(uint8_t id, std::size_t size) {
  Bytes m(size, 0);
  ByteWriter out(m.data(), m.size());
  WriteHeader(out, m.size(), id);
  return m;
}

// What the reference server answers a login of user 1 with 10,000 friends:
// server info (which empties the client's roster), login ok, the own
// record, the group list ("Friends") and the 170 friend lists.
std::vector<Bytes> LoginBurst() {
  std::vector<Bytes> m;
  m.push_back(Header(IM_MSG_ID_SERVER_INFO, layout::server_info::kSize));
  m.push_back(Header(IM_MSG_ID_MY_LOGIN_OK, layout::login_ok::kSize));
  Bytes me = Header(IM_MSG_ID_MY_USERDATA, layout::my_userdata::kFullSize);
  ByteWriter(me.data(), me.size()).U32(layout::my_userdata::kUserId, 1);
  m.push_back(me);
  static const char kGroup[] = "Friends";
  const std::size_t e = kGroupEntryName + sizeof kGroup;
  Bytes groups = Header(IM_MSG_ID_MY_GROUP_LIST, kHeaderSize + e);
  ByteWriter g(groups.data(), groups.size());
  g.U8(kHeaderSize + kGroupEntryLength, static_cast<uint8_t>(e));
  g.U16(kHeaderSize + kGroupEntryGroupId, 1);
  g.U8(kHeaderSize + kGroupEntryGroupKind, 1);
  g.Text(kHeaderSize + kGroupEntryName, sizeof kGroup, kGroup);
  m.push_back(groups);
  std::vector<uint32_t> ids(kBurstFriends);
  for (uint32_t i = 0; i < kBurstFriends; ++i) ids[i] = i + 2;
  for (Bytes& list : FriendLists(ids)) m.push_back(std::move(list));
  return m;
}

// A roster stream: the messages to send, the roster delivered to the
// client before, and the list entries among the messages.
struct RosterStream {
  std::vector<Bytes> messages;
  std::vector<Bytes> roster;
  std::size_t entriesPerMessage;  // per login for "burst"
};

// `count` lists (logins for "burst") of the kind named:
//   updates  59 friends a list, all on the roster: 100 lists' worth (5,900
//            friends) delivered first, sent over and over;
//   inserts  59 new friends a list, ids ascending (a server sending its
//            table in order), into an empty roster;
//   mixed    the roster resent over and over: list k holds the ids
//            59k + 1 ... 59k + 59 taken cyclically over 100,005 friends, so
//            the first 1,695 lists bring new friends and the rest update
//            them (over 8,000 lists a fifth of the entries are new);
//   burst    `count` logins of 10,000 friends each.
RosterStream MakeRosterStream(const std::string& kind, std::size_t count) {
  RosterStream r;
  r.entriesPerMessage = kListFriends;
  std::vector<uint32_t> ids;
  if (kind == "updates") {
    for (uint32_t i = 1; i <= 100 * kListFriends; ++i) ids.push_back(i);
    r.roster = FriendLists(ids);
    for (std::size_t k = 0; k < count; ++k) r.messages.push_back(r.roster[k % r.roster.size()]);
  } else if (kind == "inserts") {
    for (uint32_t i = 1; i <= count * kListFriends; ++i) ids.push_back(i);
    r.messages = FriendLists(ids);
  } else if (kind == "mixed") {
    for (uint64_t i = 0; i < count * kListFriends; ++i) {
      ids.push_back(static_cast<uint32_t>(i % 100005 + 1));
    }
    r.messages = FriendLists(ids);
  } else if (kind == "burst") {
    const std::vector<Bytes> login = LoginBurst();
    for (std::size_t k = 0; k < count; ++k) {
      r.messages.insert(r.messages.end(), login.begin(), login.end());
    }
    r.entriesPerMessage = kBurstFriends + 1;
  }
  return r;
}

struct RosterResults {
  InboundResult updates, mixed, burst;
};

RosterResults RunRosterPairs(double scale) {
  RosterResults out{};
  const auto lists = std::max<std::size_t>(100, static_cast<std::size_t>(20000 * scale));
  std::printf("\n(e) roster lists of 59 friends, 1,420 bytes each\n");
  RosterStream updates = MakeRosterStream("updates", lists);
  out.updates = InboundPairOf("59-friend lists, updates", MakeStream(updates.messages, lists),
                              lists, updates.roster);
  // As the issue measured it: 8,000 lists, a fifth of the entries new.
  const auto mixedLists = std::max<std::size_t>(100, static_cast<std::size_t>(8000 * scale));
  RosterStream mixed = MakeRosterStream("mixed", mixedLists);
  out.mixed = InboundPairOf("59-friend lists, mixed", MakeStream(mixed.messages, mixedLists),
                            mixedLists, mixed.roster);
  const std::size_t logins = 20;
  RosterStream burst = MakeRosterStream("burst", logins);
  out.burst = InboundPairOf("login bursts", MakeStream(burst.messages, burst.messages.size()),
                            burst.messages.size(), burst.roster);
  return out;
}

void PrintRoster(const RosterResults& r) {
  const double burstMs = static_cast<double>(kBurstMessages) / r.burst.clientMps * 1e3;
  const double burstRawMs = static_cast<double>(kBurstMessages) / r.burst.rawMps * 1e3;
  std::printf("  59-friend lists, updates   ratio %.3f  (client %.3f M entries/s, raw %.2f GB/s)"
              "  target >= 0.6  %s\n",
              r.updates.ratio, r.updates.clientMps * kListFriends * 1e-6, r.updates.rawGBps,
              Verdict(r.updates.ratio >= 0.6));
  std::printf("  59-friend lists, mixed     ratio %.3f  (client %.3f M entries/s, raw %.2f GB/s)"
              "  target >= 0.6  %s\n",
              r.mixed.ratio, r.mixed.clientMps * kListFriends * 1e-6, r.mixed.rawGBps,
              Verdict(r.mixed.ratio >= 0.6));
  std::printf("  login burst (10,000 friends in %zu lists)  ratio %.3f  (client %.2f ms a login, "
              "raw %.2f ms)  target >= 0.6  %s\n",
              kBurstLists, r.burst.ratio, burstMs, burstRawMs, Verdict(r.burst.ratio >= 0.6));
}

// (b) both delivery modes, three runs each, every client run next to a raw
// run.
struct RoundTrips {
  double ratio;  // network-thread delivery, median of the three
  Latency client, raw;  // the run whose ratio is the median one
  double pumpRatio;
  Latency pumpClient, pumpRaw;
};

RoundTrips RunRoundTrips(int trips) {
  std::printf("\n(b) round trips, chat request 279 bytes, echoed chat 279 bytes, %d each\n",
              trips);
  const Bytes reply = Chat(1005);
  const Bytes request = ChatRequest();
  RoundTrips out{};
  Listener listener;
  for (const bool pump : {false, true}) {
    gPump = pump;
    std::vector<double> ratios;
    std::vector<std::pair<Latency, Latency>> runs;
    for (int run = 0; run < 3; ++run) {
      const Latency c = RoundTripClient(listener, reply, trips);
      const Latency r = RoundTripRaw(listener, request, reply, trips);
      std::printf("  %-14s run %d: client median %7.1f us p99 %7.1f us   raw median %7.1f us "
                  "p99 %7.1f us   ratio %.3f\n",
                  pump ? "pump mode" : "network thread", run + 1, c.median / 1e3, c.p99 / 1e3,
                  r.median / 1e3, r.p99 / 1e3, c.median / r.median);
      std::printf("  %-14s        median send call: client %5.1f us, raw %5.1f us%s", "",
                  c.send / 1e3, r.send / 1e3, pump ? "" : "\n");
      if (pump) std::printf("; the answer woke WaitForEvents %5.1f us after the send\n", c.woken / 1e3);
      ratios.push_back(c.median / r.median);
      runs.emplace_back(c, r);
    }
    const double m = Median(ratios);
    for (const auto& pr : runs) {
      if (pr.first.median / pr.second.median != m) continue;
      (pump ? out.pumpClient : out.client) = pr.first;
      (pump ? out.pumpRaw : out.raw) = pr.second;
    }
    (pump ? out.pumpRatio : out.ratio) = m;
  }
  gPump = false;
  return out;
}

void PrintRoundTrips(const RoundTrips& r) {
  std::printf("  chat round trip            ratio %.3f  (client median %.1f us p99 %.1f us, raw "
              "median %.1f us p99 %.1f us)  target <= 1.3  %s\n",
              r.ratio, r.client.median / 1e3, r.client.p99 / 1e3, r.raw.median / 1e3,
              r.raw.p99 / 1e3, Verdict(r.ratio <= 1.3));
  std::printf("  chat round trip, pump mode ratio %.3f  (client median %.1f us p99 %.1f us, raw "
              "median %.1f us p99 %.1f us)\n",
              r.pumpRatio, r.pumpClient.median / 1e3, r.pumpClient.p99 / 1e3,
              r.pumpRaw.median / 1e3, r.pumpRaw.p99 / 1e3);
}

// One client run and one raw run of exactly `count` messages, no
// repetition: what an instruction counter runs twice (with `count` and with
// none) to take the cost per message as the difference. The roster kinds
// build `built` messages (logins for "burst") whatever `count` is, so that
// building them is the same in both runs.
int CountRun(const std::string& kind, std::size_t count, std::size_t built, const Bytes& roster) {
  Listener listener;
  Bytes stream;
  std::vector<Bytes> fill{roster};
  if (kind == "lists" || kind == "presence") {
    stream = MakeStream(kind == "lists" ? FullUserList(1000) : OnlineState(1005, 2), count);
  } else if (kind == "updates" || kind == "inserts" || kind == "mixed" || kind == "burst") {
    RosterStream r = MakeRosterStream(kind, std::max(count, built));
    stream = MakeStream(r.messages, kind == "burst" ? count * kBurstMessages : count);
    fill = r.roster;
    // Something to enumerate: friend 0, below every id the stream brings.
    if (gWalked && fill.empty()) fill = FriendLists({0});
  } else {
    std::fprintf(stderr, "count: presence, lists, updates, inserts, mixed or burst\n");
    return 2;
  }
  const std::size_t messages = kind == "burst" ? count * kBurstMessages : count;
  const int64_t client = InboundClient(listener, stream, fill);
  uint64_t counted = 0;
  const int64_t raw = InboundRaw(listener, stream, &counted);
  if (client <= 0 || raw <= 0 || counted != messages + 1) {
    std::fprintf(stderr, "count run failed\n");
    return 2;
  }
  std::printf("%zu %s%s%s: client %.2f ms, raw %.2f ms\n", count, kind.c_str(),
              gPump ? " (pump mode)" : "", gWalked ? " (walked)" : "", client * 1e-6, raw * 1e-6);
  return 0;
}

int Main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  ChooseCpus();
  // The roster the stream talks about: the friends 1000..1029.
  const Bytes roster = FullUserList(1000);

  if (argc > 3 && std::string(argv[1]) == "count") {
    std::size_t built = 0;
    for (int i = 4; i < argc; ++i) {
      const std::string word = argv[i];
      if (word == "pump") gPump = true;
      if (word == "walked") gWalked = true;
      if (word.rfind("built=", 0) == 0) built = std::strtoull(word.c_str() + 6, nullptr, 10);
    }
    return CountRun(argv[2], static_cast<std::size_t>(std::strtoull(argv[3], nullptr, 10)), built,
                    roster);
  }

  // Optional scale factor for quick runs (kelvo_e2e_ratio 0.1), then
  // optionally one part alone (see the top of this file).
  const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  const auto presenceCount = static_cast<std::size_t>(1000000 * scale);
  const auto listCount = static_cast<std::size_t>(50000 * scale);
  const int trips = std::max(100, static_cast<int>(20000 * scale));

  std::printf("CPU placement (pinned variant): server thread on CPU %d, receiving side on CPU "
              "%d (both runs of every pair)\n",
              gCpuServer, gCpuClient);

  const std::string only = argc > 2 ? argv[2] : "";
  if (only == "presence") {
    InboundPair("13-byte presence", OnlineState(1005, 2), presenceCount, roster);
    return 0;
  }
  if (only == "lists") {
    InboundPair("1440-byte user lists", FullUserList(1000), listCount, roster);
    return 0;
  }
  if (only == "roster") {
    const RosterResults r = RunRosterPairs(scale);
    std::printf("\nSummary (median of 3 runs)\n");
    PrintRoster(r);
    return 0;
  }
  if (only == "rtt") {
    const RoundTrips rtt = RunRoundTrips(trips);
    std::printf("\nSummary (median of 3 runs)\n");
    PrintRoundTrips(rtt);
    return 0;
  }
  if (only == "pump") {
    // Each pair in both modes, back to back, so that the two modes see the
    // same machine.
    InboundResult network[2], pumped[2];
    const char* names[2] = {"13-byte presence", "1440-byte user lists"};
    const Bytes ones[2] = {OnlineState(1005, 2), FullUserList(1000)};
    const std::size_t counts[2] = {presenceCount, listCount};
    for (int i = 0; i < 2; ++i) {
      gPump = false;
      network[i] = InboundPair(names[i], ones[i], counts[i], roster);
      gPump = true;
      pumped[i] = InboundPair((std::string(names[i]) + ", pump").c_str(), ones[i], counts[i],
                              roster);
    }
    gPump = false;
    std::printf("\nSummary (median of 3 runs)\n");
    const double targets[2] = {0.5, 0.7};
    for (int i = 0; i < 2; ++i) {
      std::printf("  inbound %s, network thread  ratio %.3f  (client %.3f M msg/s)  target >= "
                  "%.1f  %s\n",
                  names[i], network[i].ratio, network[i].clientMps * 1e-6, targets[i],
                  Verdict(network[i].ratio >= targets[i]));
      std::printf("  inbound %s, pump mode       ratio %.3f  (client %.3f M msg/s, raw %.3f M "
                  "msg/s)  target >= %.1f  %s\n",
                  names[i], pumped[i].ratio, pumped[i].clientMps * 1e-6,
                  pumped[i].rawMps * 1e-6, targets[i], Verdict(pumped[i].ratio >= targets[i]));
      const double share = pumped[i].clientMps / network[i].clientMps;
      std::printf("  inbound %s, pump / network-thread rate %.3f  target >= 0.9  %s\n", names[i],
                  share, Verdict(share >= 0.9));
    }
    return 0;
  }

  // Is the raw reader limited by its sender? Same stream, writes 4x larger.
  std::printf("\n(a0) sender check: the raw reader with %zu KiB and %zu KiB writes\n",
              gWriteChunk / 1024, 4 * gWriteChunk / 1024);
  double senderRates[2] = {0, 0};
  {
    Listener listener;
    const Bytes stream = MakeStream(OnlineState(1005, 2), presenceCount);
    const std::size_t chunks[2] = {gWriteChunk, 4 * gWriteChunk};
    for (int k = 0; k < 2; ++k) {
      gWriteChunk = chunks[k];
      std::vector<double> rates;
      for (int run = 0; run < 3; ++run) {
        uint64_t counted = 0;
        const int64_t raw = InboundRaw(listener, stream, &counted);
        if (raw > 0) rates.push_back(static_cast<double>(stream.size()) / (raw * 1e-9) / 1e9);
      }
      senderRates[k] = rates.empty() ? 0 : Median(rates);
      std::printf("  writes of %5zu KiB: raw %.2f GB/s (median of 3)\n", chunks[k] / 1024,
                  senderRates[k]);
    }
    gWriteChunk = chunks[0];
  }
  const double senderGain = senderRates[0] > 0 ? senderRates[1] / senderRates[0] : 0;

  std::printf("\n(a) inbound, pinned, first byte written until the sentinel is seen\n");
  const InboundResult presence =
      InboundPair("13-byte presence", OnlineState(1005, 2), presenceCount, roster);
  const InboundResult lists =
      InboundPair("1440-byte user lists", FullUserList(1000), listCount, roster);
  std::printf("\n(a') inbound, unpinned\n");
  gPinned = false;
  const InboundResult presenceFree =
      InboundPair("13-byte presence", OnlineState(1005, 2), presenceCount, roster);
  const InboundResult listsFree =
      InboundPair("1440-byte user lists", FullUserList(1000), listCount, roster);
  gPinned = true;

  const RoundTrips rtt = RunRoundTrips(trips);

  std::printf("\n(d) memory at 100,000 friends\n");
  const Memory memory = RosterMemory(100000);
  std::printf("  heap %.1f bytes/entry, resident %.1f bytes/entry (record %zu bytes)\n",
              memory.heapPerEntry, memory.residentPerEntry, sizeof(UserRecord));

  const RosterResults rosterLists = RunRosterPairs(scale);

  std::printf("\nSummary (median of 3 runs)\n");
  std::printf("  sender check               raw %.2f GB/s with 4x larger writes = %.2f x  "
              "(baseline not sender-bound when < 1.10)  %s\n",
              senderRates[1], senderGain, Verdict(senderGain > 0 && senderGain < 1.10));
  std::printf("  inbound 13-byte presence   ratio %.3f  (client %.2f M msg/s, raw %.2f M msg/s, "
              "%.2f GB/s)  target >= 0.5  %s\n",
              presence.ratio, presence.clientMps * 1e-6, presence.rawMps * 1e-6, presence.rawGBps,
              Verdict(presence.ratio >= 0.5));
  std::printf("  inbound 1440-byte lists    ratio %.3f  (client %.3f M msg/s, raw %.3f M msg/s, "
              "%.2f GB/s)  target >= 0.7  %s\n",
              lists.ratio, lists.clientMps * 1e-6, lists.rawMps * 1e-6, lists.rawGBps,
              Verdict(lists.ratio >= 0.7));
  std::printf("  unpinned: presence ratio %.3f (raw %.2f GB/s), lists ratio %.3f (raw %.2f GB/s)\n",
              presenceFree.ratio, presenceFree.rawGBps, listsFree.ratio, listsFree.rawGBps);
  PrintRoundTrips(rtt);
  std::printf("  roster memory              %.2f bytes/entry (heap), %.1f (resident)"
              "  target <= 80 (heap)  %s\n",
              memory.heapPerEntry, memory.residentPerEntry,
              // To the byte: a few stray allocations of the run itself add
              // hundredths.
              Verdict(memory.heapPerEntry < 80.5));
  PrintRoster(rosterLists);
  return 0;
}

}  // namespace
}  // namespace bench
}  // namespace kelvo

int main(int argc, char** argv) { return kelvo::bench::Main(argc, argv); }
