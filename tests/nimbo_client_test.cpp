// TCPClient_Socks5 against real sockets on 127.0.0.1: connection outcomes,
// delivery, endings, sending, and closing or destroying from the message
// thread.
#if defined(_WIN32)
#include <winsock2.h>  // before windows.h
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "nimbo2/tcp_client_socks5.h"
#include "poller.h"
#include "resolver.h"
#include "support/loopback_server.h"

namespace kelvo {
namespace test {
namespace {

using Nimbo2::TCPClient_Socks5;
using States = std::vector<uint32_t>;

int ThreadCount() {
  int n = 0;
#if defined(_WIN32)
  // No /proc here: count this process's entries in the system thread list.
  const HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 e;
  e.dwSize = sizeof e;
  for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e))
    n += e.th32OwnerProcessID == GetCurrentProcessId();
  CloseHandle(snap);
#else
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
#endif
  return n;
}

// The calling thread as the system lists it, and whether it is still listed.
// A thread that was joined or ran off can stay listed for a moment after it
// signalled its end (much longer under qemu-user), so waiting for one thread
// to go is exact where comparing counts is not.
#if defined(_WIN32)
using SystemThreadId = DWORD;
SystemThreadId CurrentSystemThreadId() { return GetCurrentThreadId(); }
bool ThreadListed(SystemThreadId id) {
  const HANDLE h = OpenThread(SYNCHRONIZE, FALSE, id);
  if (h == nullptr) return false;
  const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return running;
}
#else
using SystemThreadId = long;
SystemThreadId CurrentSystemThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }
bool ThreadListed(SystemThreadId id) {
  return ::access(("/proc/self/task/" + std::to_string(id)).c_str(), F_OK) == 0;
}
#endif

// Polls until thread `id` has ended (a detached message thread has run off).
// Bounded.
bool WaitThreadGone(SystemThreadId id, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (ThreadListed(id)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Counters are published once per read or write, just after the worker
// calls; a bounded poll lets them catch up with what the test already saw.
uint64_t Settled(const std::function<uint64_t()>& counter, uint64_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (counter() != expected && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  return counter();
}

ByteVec Concat(const std::vector<ByteVec>& messages) {
  ByteVec all;
  for (const ByteVec& m : messages) all.insert(all.end(), m.begin(), m.end());
  return all;
}

// A connected client and its server side.
struct Connected {
  LoopbackServer server;
  RecordingWorker worker;
  std::unique_ptr<TCPClient_Socks5> client = std::make_unique<TCPClient_Socks5>(&worker);

  void Up() {
    ASSERT_TRUE(client->Connect(server.Address()));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(worker.WaitStates(1));
    ASSERT_EQ(worker.States(), States{1});
  }
};

TEST(NimboClient, ConstructionOpensNothingAndDestructionCallsNothing) {
  const int before = ThreadCount();
  RecordingWorker worker;
  {
    std::vector<std::unique_ptr<TCPClient_Socks5>> clients;
    for (int i = 0; i < 200; ++i) clients.push_back(std::make_unique<TCPClient_Socks5>(&worker));
    EXPECT_EQ(ThreadCount(), before);
    EXPECT_EQ(clients[0]->GetConnectState(), 0);
    EXPECT_TRUE(clients[0]->CloseSocket(true));
  }
  EXPECT_EQ(worker.ThreadBegins() + worker.ThreadEnds(), 0);
  EXPECT_TRUE(worker.States().empty());
}

TEST(NimboClient, ConnectOutcomes) {
  struct Row {
    const char* name;
    // Prepares a target: the server to keep alive and the port to dial.
    std::function<bool(std::unique_ptr<LoopbackServer>&, uint16_t&)> setUp;
    uint32_t state;
    int connectState;
  } rows[] = {
      {"listening server",
       [](auto& s, uint16_t& port) {
         s = std::make_unique<LoopbackServer>();
         port = s->port();
         return true;
       },
       1, 2},
      {"closed port: refused",
       [](auto& s, uint16_t& port) {
         s = std::make_unique<LoopbackServer>();
         port = s->port();
         s = std::make_unique<LoopbackServer>();  // the first one no longer listens
         return port != s->port();
       },
       0, 0},
      {"SYN never answered: times out",
       [](auto& s, uint16_t& port) {
         s = std::make_unique<LoopbackServer>(0);
         port = s->port();
         return s->Saturate();
       },
       0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<LoopbackServer> server;
    uint16_t port = 0;
    if (!row.setUp(server, port)) {
      ADD_FAILURE() << "could not set up the target";
      continue;
    }
    RecordingWorker worker;
    {
      TCPClient_Socks5 client(&worker);
      client.SetConnectTimeoutMs(300);
      const auto start = std::chrono::steady_clock::now();
      ASSERT_TRUE(client.Connect(LoopbackAddress(port)));
      // A refusal on loopback can arrive before the next line runs, and then
      // a second attempt is rightly allowed; only a pending attempt refuses.
      if (std::string(row.name).find("refused") == std::string::npos) {
        EXPECT_FALSE(client.Connect(LoopbackAddress(port))) << "an attempt is under way";
      }
      ASSERT_TRUE(worker.WaitStates(1));
      const auto took = std::chrono::steady_clock::now() - start;
      EXPECT_EQ(worker.States(), States{row.state});
      EXPECT_EQ(client.GetConnectState(), row.connectState);
      EXPECT_EQ(client.Connect(LoopbackAddress(port)), row.state == 0)
          << "a new attempt only once the last one failed";
      EXPECT_LT(took, 3s) << "the per-object timeout applies";
    }
    EXPECT_EQ(worker.ThreadBegins(), 1);
    EXPECT_EQ(worker.ThreadEnds(), 1);
  }
}

TEST(NimboClient, DeliversEveryMessageInStreamOrderWithCounters) {
  Connected c;
  ASSERT_NO_FATAL_FAILURE(c.Up());
  std::vector<ByteVec> messages = {Frame(4, 1), Frame(13, 2, 5), Frame(0x7FFF, 3, 1, true)};
  for (int i = 0; i < 2000; ++i) messages.push_back(Frame(4 + i % 300, 9, i & 0xFF));
  const ByteVec stream = Concat(messages);
  // Odd boundaries: a lone byte, a split header, then the rest.
  ASSERT_TRUE(c.server.Send(stream.data(), 1));
  ASSERT_TRUE(c.server.Send(stream.data() + 1, 6));
  ASSERT_TRUE(c.server.Send(stream.data() + 7, stream.size() - 7));
  ASSERT_TRUE(c.worker.WaitMessages(messages.size()));
  EXPECT_EQ(c.worker.Messages(), messages);
  EXPECT_EQ(Settled([&] { return c.client->MessagesReceived(); }, messages.size()),
            messages.size());
  EXPECT_EQ(Settled([&] { return c.client->BytesReceived(); }, stream.size()), stream.size());
}

TEST(NimboClient, AnEndedConnectionIsReportedExactlyOnce) {
  struct Row {
    const char* name;
    std::function<void(LoopbackServer&)> end;
  } rows[] = {
      {"peer closes mid-message",
       [](LoopbackServer& s) {
         const ByteVec half = Frame(100, 2);
         s.Send(half.data(), 50);
         s.Close();
       }},
      {"peer resets", [](LoopbackServer& s) { s.Reset(); }},
      {"length 3 is a framing error", [](LoopbackServer& s) { s.Send(ByteVec{3, 0, 0x2C, 1}); }},
      {"length 0 is a framing error", [](LoopbackServer& s) { s.Send(ByteVec{0, 0x80, 0x2C, 1}); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Connected c;
    ASSERT_NO_FATAL_FAILURE(c.Up());
    ASSERT_TRUE(c.server.Send(Frame(8, 1)));
    row.end(c.server);
    ASSERT_TRUE(c.worker.WaitStates(2));
    EXPECT_EQ(c.client->GetConnectState(), 0);
    EXPECT_FALSE(c.client->SendMsg(nullptr, Frame(8, 1).data(), 8));
    c.client.reset();  // joins: everything that was going to be reported has been
    EXPECT_EQ(c.worker.States(), (States{1, 2}));
    EXPECT_EQ(c.worker.MessageCount(), 1u);
  }
}

TEST(NimboClient, ClosesAndReconnects) {
  Connected c;
  ASSERT_NO_FATAL_FAILURE(c.Up());
  EXPECT_TRUE(c.client->CloseSocket(true));
  ASSERT_TRUE(c.worker.WaitStates(2));
  EXPECT_TRUE(c.server.WaitPeerClosed());
  ASSERT_TRUE(c.client->Connect(c.server.Address()));
  ASSERT_TRUE(c.server.Accept());
  ASSERT_TRUE(c.worker.WaitStates(3));
  ASSERT_TRUE(c.server.Send(Frame(10, 4)));
  ASSERT_TRUE(c.worker.WaitMessages(1));
  EXPECT_TRUE(c.client->CloseSocket(false));
  EXPECT_TRUE(c.client->CloseSocket(false)) << "closing twice is harmless";
  EXPECT_TRUE(c.server.WaitPeerClosed());
  c.client.reset();
  EXPECT_EQ(c.worker.States(), (States{1, 2, 1}));
}

TEST(NimboClient, AbandonedAttemptReportsNothingAndAnotherCanStart) {
  LoopbackServer stalled(0);
  ASSERT_TRUE(stalled.Saturate());
  LoopbackServer good;
  RecordingWorker worker;
  TCPClient_Socks5 client(&worker);
  ASSERT_TRUE(client.Connect(stalled.Address()));
  EXPECT_EQ(client.GetConnectState(), 1);
  EXPECT_TRUE(client.CloseSocket(true));
  EXPECT_EQ(client.GetConnectState(), 0);
  ASSERT_TRUE(client.Connect(good.Address()));
  ASSERT_TRUE(good.Accept());
  ASSERT_TRUE(worker.WaitStates(1));
  EXPECT_EQ(worker.States(), States{1}) << "nothing for the abandoned attempt";
}

TEST(NimboClient, AnIdleConnectionCallsNothing) {
  // No timer runs for an idle connection: nothing reaches the worker while
  // the peer is silent (the old once-a-second tick is gone).
  Connected c;
  ASSERT_NO_FATAL_FAILURE(c.Up());
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(c.worker.Ticks(), 0);
  EXPECT_EQ(c.worker.States(), States{1});
}

TEST(NimboClient, SendMsgRefusals) {
  RecordingWorker idleWorker;
  TCPClient_Socks5 idle(&idleWorker);
  const ByteVec ok = Frame(8, 1);
  EXPECT_FALSE(idle.SendMsg(nullptr, const_cast<uint8_t*>(ok.data()), 8)) << "not connected";

  Connected c;
  ASSERT_NO_FATAL_FAILURE(c.Up());
  ByteVec big(0x8000, 1);
  struct Row {
    const char* name;
    void* msg;
    int len;
    bool accepted;
  } rows[] = {
      {"length 3", big.data(), 3, false},     {"length 0x8000", big.data(), 0x8000, false},
      {"negative length", big.data(), -1, false}, {"null message", nullptr, 8, false},
      {"length 4", big.data(), 4, true},      {"length 0x7FFF", big.data(), 0x7FFF, true},
  };
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  ByteVec expected;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(c.client->SendMsg(nullptr, row.msg, row.len), row.accepted);
    if (row.accepted) expected.insert(expected.end(), big.begin(), big.begin() + row.len);
  }
  ByteVec got;
  ASSERT_TRUE(c.server.Read(expected.size(), &got));
  EXPECT_EQ(got, expected);
}

TEST(NimboClient, SendQueueIsBoundedAndDrainsWhenThePeerReads) {
  Connected c;
  ASSERT_NO_FATAL_FAILURE(c.Up());
  const ByteVec m = Frame(0x7FFF, 1);
  std::size_t accepted = 0;
  // The peer does not read: kernel buffers fill, then the queue.
  const std::size_t cap = Nimbo2::kSendQueueLimitBytes + (64u << 20);
  while (accepted < cap && c.client->SendMsg(nullptr, const_cast<uint8_t*>(m.data()), 0x7FFF))
    accepted += m.size();
  ASSERT_LT(accepted, cap) << "SendMsg never refused";
  EXPECT_GT(accepted + m.size(), Nimbo2::kSendQueueLimitBytes) << "refused before the bound";
  ByteVec got;
  ASSERT_TRUE(c.server.Read(accepted, &got, 10s));
  EXPECT_EQ(got.size(), accepted);
  EXPECT_TRUE(c.client->SendMsg(nullptr, const_cast<uint8_t*>(m.data()), 0x7FFF))
      << "room again once written";
}

TEST(NimboClient, SendsFromSeveralThreadsKeepEachThreadsOrder) {
  Connected c;
  ASSERT_NO_FATAL_FAILURE(c.Up());
  constexpr int kThreads = 4, kEach = 500, kLen = 12;
  std::vector<std::thread> senders;
  std::atomic<int> refused{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        ByteVec m = Frame(kLen, static_cast<uint8_t>(t));
        for (int b = 0; b < 4; ++b) m[4 + b] = static_cast<uint8_t>(i >> (8 * b));
        if (!c.client->SendMsg(nullptr, m.data(), kLen)) ++refused;
      }
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(refused.load(), 0);
  ByteVec got;
  ASSERT_TRUE(c.server.Read(std::size_t{kThreads} * kEach * kLen, &got));
  int next[kThreads] = {};
  for (std::size_t off = 0; off < got.size(); off += kLen) {
    ASSERT_EQ(got[off], kLen);
    const int t = got[off + 3];
    ASSERT_LT(t, kThreads);
    const int seq = got[off + 4] | got[off + 5] << 8 | got[off + 6] << 16 | got[off + 7] << 24;
    ASSERT_EQ(seq, next[t]++) << "thread " << t;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kEach);
  EXPECT_EQ(Settled([&] { return c.client->BytesSent(); }, got.size()), got.size());
}

TEST(NimboClient, CloseFromInsideHandleMessage) {
  struct Row {
    bool notify;
    States states;
  } rows[] = {{false, {1, 1}}, {true, {1, 2, 1}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.notify ? "notify" : "quiet");
    Connected c;
    c.worker.onMessage = [&](uint8_t* m, uint32_t) {
      if (m[3] == 3) {
        EXPECT_TRUE(c.client->CloseSocket(row.notify));
        EXPECT_FALSE(c.client->SendMsg(nullptr, m, 4)) << "closed";
      }
    };
    ASSERT_NO_FATAL_FAILURE(c.Up());
    std::vector<ByteVec> ten;
    for (int i = 1; i <= 10; ++i) ten.push_back(Frame(6, static_cast<uint8_t>(i)));
    ASSERT_TRUE(c.server.Send(Concat(ten)));  // all ten in one read, most likely
    ASSERT_TRUE(c.server.WaitPeerClosed());
    ASSERT_TRUE(c.client->Connect(c.server.Address()));
    ASSERT_TRUE(c.server.Accept());
    ASSERT_TRUE(c.worker.WaitStates(row.states.size()));
    c.client.reset();
    EXPECT_EQ(c.worker.States(), row.states);
    EXPECT_EQ(c.worker.MessageCount(), 3u) << "nothing after the close";
  }
}

TEST(NimboClient, DestroyFromTheMessageThread) {
  struct Row {
    const char* name;
    bool inConnectState;  // else in the third HandleMessage
  } rows[] = {{"inside HandleMessage", false}, {"inside OnConnectState(1)", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LoopbackServer server;
    RecordingWorker worker;
    std::atomic<TCPClient_Socks5*> client{new TCPClient_Socks5(&worker)};
    std::atomic<SystemThreadId> messageThread{0};
    auto destroy = [&] {
      messageThread = CurrentSystemThreadId();
      delete client.exchange(nullptr);
      worker.Forbid();
    };
    if (row.inConnectState) {
      worker.onState = [&](uint32_t) { destroy(); };
    } else {
      worker.onMessage = [&](uint8_t* m, uint32_t length) {
        if (m[3] == 3) {
          destroy();
          // The buffer is still ours until we return.
          std::fill(m, m + length, 0xAB);
        }
      };
    }
    ASSERT_TRUE(client.load()->Connect(server.Address()));
    ASSERT_TRUE(server.Accept());
    if (!row.inConnectState) {
      std::vector<ByteVec> ten;
      for (int i = 1; i <= 10; ++i) ten.push_back(Frame(64, static_cast<uint8_t>(i)));
      ASSERT_TRUE(server.Send(Concat(ten)));
    }
    ASSERT_TRUE(server.WaitPeerClosed());
    ASSERT_NE(messageThread.load(), 0) << "the client was not destroyed";
    ASSERT_TRUE(WaitThreadGone(messageThread)) << "the message thread did not run off";
    EXPECT_EQ(client.load(), nullptr);
    EXPECT_EQ(worker.ForbiddenCalls(), 0);
    EXPECT_EQ(worker.MessageCount(), row.inConnectState ? 0u : 3u);
    EXPECT_EQ(worker.ThreadEnds(), 0) << "the worker was going away";
  }
}

TEST(NimboClient, DestroyWhileDataStreamsIn) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    LoopbackServer server;
    RecordingWorker worker;
    worker.keepMessages = false;
    auto client = std::make_unique<TCPClient_Socks5>(&worker);
    ASSERT_TRUE(client->Connect(server.Address()));
    ASSERT_TRUE(server.Accept());
    std::thread streamer([&] {
      ByteVec chunk;
      while (chunk.size() + 13 <= 65536) {
        const ByteVec m = Frame(13, 1);
        chunk.insert(chunk.end(), m.begin(), m.end());
      }
      while (server.Send(chunk)) {
      }
    });
    ASSERT_TRUE(worker.WaitMessages(1000 * (round + 1)));
    client.reset();
    worker.Forbid();
    streamer.join();  // ends when the client's socket is gone
    EXPECT_EQ(worker.ForbiddenCalls(), 0);
    EXPECT_EQ(worker.ThreadEnds(), 1);
  }
}

TEST(NimboClient, DestroyWhileAWriteIsPartlyTakenStillDeliversWhatWasAccepted) {
  // The peer reads nothing until the client is gone, so the client dies
  // with bytes in its own queue behind a full socket. Its loop finishes the
  // flush alone: the peer gets every accepted byte, then our FIN.
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    Connected c;
    ASSERT_NO_FATAL_FAILURE(c.Up());
    const ByteVec m = Frame(0x7FFF, 7, static_cast<uint8_t>(round));
    std::size_t accepted = 0;
    while (c.client->BytesSent() == accepted &&
           c.client->SendMsg(nullptr, const_cast<uint8_t*>(m.data()), 0x7FFF)) {
      accepted += m.size();
    }
    ASSERT_LT(c.client->BytesSent(), accepted) << "nothing waited in the queue";
    c.client.reset();
    ByteVec got;
    ASSERT_TRUE(c.server.Read(accepted, &got, 10s));
    for (std::size_t at = 0; at < got.size(); at += m.size()) {
      ASSERT_TRUE(std::equal(m.begin(), m.end(), got.begin() + at)) << "at byte " << at;
    }
    EXPECT_TRUE(c.server.WaitPeerClosed()) << "no FIN after the flush";
  }
}

TEST(NimboClient, CallsFromAnotherThreadNeverWaitForTheMessageThread) {
  // The message thread sits in HandleMessage waiting for a lock that another
  // thread holds while it calls the library: the library must not need the
  // message thread to answer.
  Connected c;
  std::mutex workerLock;
  std::atomic<bool> inHandler{false};
  c.worker.onMessage = [&](uint8_t*, uint32_t) {
    inHandler = true;
    std::lock_guard<std::mutex> lock(workerLock);
  };
  ASSERT_NO_FATAL_FAILURE(c.Up());
  std::unique_lock<std::mutex> held(workerLock);
  ASSERT_TRUE(c.server.Send(Frame(8, 1)));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!inHandler && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(inHandler);
  std::atomic<bool> done{false};
  std::thread caller([&] {
    const ByteVec m = Frame(8, 2);
    EXPECT_TRUE(c.client->SendMsg(nullptr, const_cast<uint8_t*>(m.data()), 8));
    EXPECT_TRUE(c.client->CloseSocket(true));
    EXPECT_TRUE(c.client->Connect(c.server.Address()));
    EXPECT_EQ(c.client->GetConnectState(), 1);
    done = true;
  });
  const auto callDeadline = std::chrono::steady_clock::now() + 5s;
  while (!done && std::chrono::steady_clock::now() < callDeadline)
    std::this_thread::sleep_for(1ms);
  if (!done) {
    ADD_FAILURE() << "a library call blocked on the message thread";
    std::_Exit(1);  // the stuck threads cannot be unwound
  }
  caller.join();
  held.unlock();
  ASSERT_TRUE(c.server.Accept());
  ASSERT_TRUE(c.worker.WaitStates(3));
  EXPECT_EQ(c.worker.States(), (States{1, 2, 1}));
}

// More sockets ready than one wait reports (128): the scan goes on where it
// stopped, so every socket is reported within a few waits instead of the
// first ones turn after turn (the loop of a client of its own and the shared
// loop on Windows both poll).
TEST(NimboClient, APollerReportsEverySocketWhenMoreAreReadyThanOneWaitTakes) {
  constexpr int kSockets = 300, kPerWait = 128;
  int error = 0;
  std::unique_ptr<Nimbo2::Poller> poller = Nimbo2::Poller::Make(false, &error);
  ASSERT_NE(poller, nullptr) << error;
  LoopbackServer server(kSockets);
  std::vector<Nimbo2::net::Socket> mine;
  std::vector<SocketHandle> theirs;
  std::vector<int> tokens(kSockets);  // a socket's token: its entry here
  for (int i = 0; i < kSockets; ++i) {
    const Nimbo2::net::Socket s = Nimbo2::net::OpenTcp(Nimbo2::net::Address::kIpv4, &error);
    ASSERT_NE(s, Nimbo2::net::kNoSocket) << error;
    mine.push_back(s);
    ASSERT_EQ(
        Nimbo2::net::StartConnect(s, Nimbo2::net::Address::Ipv4(0x7F000001, server.port())), 0);
    ASSERT_TRUE(server.Accept());
    theirs.push_back(server.Release());
    ASSERT_EQ(SendBytes(theirs.back(), "x", 1), 1);
    ASSERT_TRUE(poller->Add(s, &tokens[static_cast<std::size_t>(i)], Nimbo2::Poller::kIn, &error));
  }
  std::vector<bool> seen(kSockets, false);
  Nimbo2::Poller::Event events[kPerWait];
  int waits = 0;
  for (int left = kSockets; left > 0 && waits < 20; ++waits) {
    const int n = poller->Wait(events, kPerWait, 1000);
    for (int k = 0; k < n; ++k) {
      const auto i = static_cast<std::size_t>(static_cast<int*>(events[k].token) - tokens.data());
      if (!seen[i]) --left;
      seen[i] = true;
    }
  }
  EXPECT_LE(waits, (kSockets + kPerWait - 1) / kPerWait + 1) << "some sockets waited behind others";
  for (int i = 0; i < kSockets; ++i) {
    poller->Remove(mine[static_cast<std::size_t>(i)]);
    Nimbo2::net::Close(mine[static_cast<std::size_t>(i)]);
    CloseSocketHandle(theirs[static_cast<std::size_t>(i)]);
  }
}

// Connecting by name or literal, over real loopback sockets on ::1 and
// 127.0.0.1 at the same port. "localhost" is ::1 and 127.0.0.1 whatever
// the hosts file says.
TEST(NimboClient, ConnectsByNameOrLiteral) {
  enum Up { kNone, kOnIpv6, kOnIpv4 };
  struct Row {
    const char* name;
    const char* host;
    bool ipv6Listens;
    bool ipv4Listens;
    Up up;
    Nimbo2::LinkReason reason;  // when not up
    bool everyAddressFailed;
    const char* detail;
  } rows[] = {
      {"localhost, the server on ::1 only", "localhost", true, false, kOnIpv6, {}, false, ""},
      {"localhost, the server on 127.0.0.1 only", "localhost", false, true, kOnIpv4, {}, false, ""},
      {"a name under localhost, in capitals", "Im.LOCALHOST", true, false, kOnIpv6, {}, false, ""},
      {"an IPv6 literal", "::1", true, true, kOnIpv6, {}, false, ""},
      {"an IPv6 literal in brackets", "[::1]", true, false, kOnIpv6, {}, false, ""},
      {"an IPv4 literal", "127.0.0.1", true, true, kOnIpv4, {}, false, ""},
      {"localhost, nothing listening", "localhost", false, false, kNone,
       Nimbo2::LinkReason::kRefused, true, ""},
      {"an IPv6 literal, nothing listening", "[::1]", false, false, kNone,
       Nimbo2::LinkReason::kRefused, false, ""},
      {"a name that does not exist", "kelvo-test.invalid", true, true, kNone,
       Nimbo2::LinkReason::kUnresolved, false, "no such name"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A port free on both families: the one listener's, where the other
    // family can bind it too.
    std::unique_ptr<LoopbackServer> six, four;
    for (int tries = 0; tries < 10 && !(six && four); ++tries) {
      six = std::make_unique<LoopbackServer>(16, true);
      if (!six->listening()) GTEST_SKIP() << "no ::1 on this machine: IPv6 connects not tested";
      four = std::make_unique<LoopbackServer>(16, false, six->port());
      if (!four->listening()) six.reset(), four.reset();
    }
    ASSERT_TRUE(six && four);
    const uint16_t port = six->port();
    if (!row.ipv6Listens) six.reset();
    if (!row.ipv4Listens) four.reset();

    NotingWorker worker;
    TCPClient_Socks5 client(&worker);
    client.SetLinkNoteWorker(&worker);
    ASSERT_TRUE(client.ConnectTo(row.host, port));
    ASSERT_TRUE(worker.WaitStates(1));
    if (row.up != kNone) {
      EXPECT_EQ(worker.States(), States{1});
      LoopbackServer* const at = row.up == kOnIpv6 ? six.get() : four.get();
      EXPECT_TRUE(at->Accept());
      continue;
    }
    EXPECT_EQ(worker.States(), States{0});
    const std::vector<Nimbo2::LinkNote> notes = worker.Notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].reason, row.reason);
    EXPECT_EQ(notes[0].everyAddressFailed, row.everyAddressFailed);
    EXPECT_FALSE(notes[0].aboutProxy);
    EXPECT_EQ(notes[0].port, port);
    // The text as given, an IPv6 literal without its brackets.
    EXPECT_STREQ(notes[0].host, row.host[0] == '[' ? "::1" : row.host);
    EXPECT_STREQ(notes[0].detail, row.detail);
  }
}

TEST(NimboClient, ConnectToRefusesWhatIsNoHost) {
  RecordingWorker worker;
  TCPClient_Socks5 client(&worker);
  // Named, not a temporary: the list below only holds its address.
  const std::string tooLong(254, 'a');
  for (const char* host : {static_cast<const char*>(nullptr), "", "[::1", "::1]", "[]", "a..b",
                           "1:2:3", "[127.0.0.1]", "fe80::1%eth0", "im example.com",
                           "\xC1\xC4.cn", tooLong.c_str()}) {
    SCOPED_TRACE(host == nullptr ? "null" : host);
    EXPECT_FALSE(client.ConnectTo(host, 7000));
  }
  EXPECT_FALSE(client.ConnectTo("localhost", 0));
  EXPECT_FALSE(client.SetProxyHost("[::1", 1080));
  EXPECT_FALSE(client.SetProxyHost("localhost", 0));
  EXPECT_EQ(client.GetConnectState(), 0);
  EXPECT_TRUE(worker.States().empty());
}

// RFC 8305 over loopback: ::1 first, 127.0.0.1 after the stagger when ::1
// does not answer, or at once when ::1 refuses.
TEST(NimboClient, RacesTheFamiliesIpv6First) {
  using Ms = std::chrono::milliseconds;
  struct Row {
    const char* name;
    bool ipv6Silent;     // ::1 listens with its queue full: SYNs go unanswered
    uint32_t delayMs;    // the stagger
    Ms atLeast;          // v4 could not have come up before this
  } rows[] = {
      {"::1 silent: 127.0.0.1 after the stagger", true, Nimbo2::kNextAddressDelayMs,
       Ms(Nimbo2::kNextAddressDelayMs)},
      // The stagger far above the bound below: 127.0.0.1 only comes up in
      // time when the refusal started it.
      {"::1 refusing: 127.0.0.1 at once", false, 5000, Ms(0)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<LoopbackServer> six, four;
    for (int tries = 0; tries < 10 && !(six && four); ++tries) {
      six = std::make_unique<LoopbackServer>(row.ipv6Silent ? 0 : 16, true);
      if (!six->listening()) GTEST_SKIP() << "no ::1 on this machine: the race is not tested";
      four = std::make_unique<LoopbackServer>(16, false, six->port());
      if (!four->listening()) six.reset(), four.reset();
    }
    ASSERT_TRUE(six && four);
    const uint16_t port = six->port();
    if (row.ipv6Silent) {
      ASSERT_TRUE(six->Saturate());
    } else {
      six.reset();
    }
    RecordingWorker worker;
    TCPClient_Socks5 client(&worker);
    client.SetNextAddressDelayMs(row.delayMs);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.ConnectTo("localhost", port));
    ASSERT_TRUE(worker.WaitStates(1));
    const auto took = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(worker.States(), States{1});
    EXPECT_TRUE(four->Accept());
    EXPECT_GE(took, row.atLeast);
    EXPECT_LT(took, Ms(2000));  // far inside the attempt's 10 s
    std::printf("  [ %s ] connected in %lld ms\n", row.name, static_cast<long long>(took.count()));
  }
}

// A name whose answer comes after the attempt was closed, and after the
// client was destroyed: the answer reaches nothing.
bool SlowResolve(const std::string&, uint16_t, std::vector<Nimbo2::net::Address>*,
                 std::string* why);
std::mutex gSlowMu;
std::condition_variable gSlowCv;
int gSlowEntered = 0;
bool gSlowRelease = false;

bool SlowResolve(const std::string&, uint16_t port, std::vector<Nimbo2::net::Address>* out,
                 std::string*) {
  std::unique_lock<std::mutex> lock(gSlowMu);
  ++gSlowEntered;
  gSlowCv.notify_all();
  gSlowCv.wait(lock, [] { return gSlowRelease; });
  out->push_back(Nimbo2::net::Address::Ipv4(0x7F000001, port));
  return true;
}

TEST(NimboClient, AnAnswerAfterTheEndReachesNothing) {
  LoopbackServer server;
  Nimbo2::SetResolveHookForTests(&SlowResolve);
  {
    std::lock_guard<std::mutex> lock(gSlowMu);
    gSlowEntered = 0;
    gSlowRelease = false;
  }
  const auto waitEntered = [](int n) {
    std::unique_lock<std::mutex> lock(gSlowMu);
    return gSlowCv.wait_for(lock, 5s, [n] { return gSlowEntered >= n; });
  };
  RecordingWorker worker;
  {
    // Closed while resolving, then connected again: only the second
    // attempt's outcome is heard.
    TCPClient_Socks5 client(&worker);
    ASSERT_TRUE(client.ConnectTo("im.kelvo.test", server.port()));
    ASSERT_TRUE(waitEntered(1));
    EXPECT_EQ(client.GetConnectState(), 1);
    EXPECT_TRUE(client.CloseSocket(false));
    ASSERT_TRUE(client.ConnectTo("im.kelvo.test", server.port()));
    ASSERT_TRUE(waitEntered(2));
    // Destroyed with both answers still out.
  }
  worker.Forbid();
  EXPECT_GE(Nimbo2::ResolutionsRunning(), 2);
  {
    std::lock_guard<std::mutex> lock(gSlowMu);
    gSlowRelease = true;
  }
  gSlowCv.notify_all();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (Nimbo2::ResolutionsRunning() != 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  Nimbo2::SetResolveHookForTests(nullptr);
  EXPECT_EQ(Nimbo2::ResolutionsRunning(), 0);
  EXPECT_FALSE(server.Accept(100ms));  // nobody dialled the answer
  EXPECT_EQ(worker.ForbiddenCalls(), 0);
  EXPECT_TRUE(worker.States().empty());
}

}  // namespace
}  // namespace test
}  // namespace kelvo
