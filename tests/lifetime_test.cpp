// The client's lock and lifetime under the two threads that meet in it: the
// host's and the network thread. Each case makes the network thread wait for
// the lock at a chosen moment (a latch on the client's count of waiters, not
// a sleep) and then checks what the other side sees: how many messages a
// host call waits for, who destroys the object, what reaches the host after
// Close, and what a throwing callback leaves behind.
#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/im_server_client.h"
#include "gtest/gtest.h"
#include "kelvo/kelvo_core.h"
#include "support/loopback_server.h"
#include "support/waiting_sink.h"
#include "support/wire.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::Msg;
using test::WaitingSink;

// Bounded poll for a condition another thread makes true.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

ImServerClient* NewClient() {
  return static_cast<ImServerClient*>(
      static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION)));
}

ServerAddress To(uint16_t port) {
  ServerAddress a{};
  a.serverIp = 0x7F000001;
  a.serverPort = port;
  return a;
}

Bytes FriendList(uint32_t userId, const std::string& name) {
  return Msg(47).U8(22).U32(userId).Zeros(3).U8(2).Zeros(8).Raw(name).Zeros(2).Build();
}

Bytes Presence(uint32_t userId, uint8_t state) {
  return Msg(61).U32(userId).U8(state).Zeros(4).Build();
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A connected client with friend 100 in its roster. A test sets the sink's
// hook before Open (the network thread reads it) and arms it afterwards.
struct Session {
  std::atomic<bool> armed{false};
  test::LoopbackServer server;
  WaitingSink sink;
  ImServerClient* client = NewClient();
  ServerAddress address = To(server.port());

  bool Open() {
    if (!client->SetSink(&sink) || !client->Connect(&address) || !server.Accept()) return false;
    if (!sink.WaitFor("OnConnect") || !server.Send(Concat({FriendList(100, "amy"), Presence(100, 2)})))
      return false;
    if (!sink.WaitFor("OnOnlineStateChanged")) return false;
    // The callback (and its hook) runs under the client's lock: one host
    // call later it has returned, so arming the hook now cannot catch it.
    UserRecord r{};
    return client->GetUser(100, &r);
  }
  // The network thread is queued for the client's lock.
  bool NetworkThreadWaits() {
    return Eventually([&] { return client->LockWaiters() > 0; });
  }
};

// A read of thousands of messages must not hold a host call for all of
// them: the delivery thread lets a waiting host in between two messages,
// once it is awake (it delivers on while a sleeping host wakes up).
TEST(Lifetime, AHostCallWaitsForOneMessageNotTheWholeRead) {
  Session s;
  std::atomic<int> delivered{0};
  std::atomic<bool> firstRunning{false};
  std::atomic<bool> hostQueued{false};
  std::atomic<int> seenWhileWaiting{-1};
  s.sink.hook = [&](const std::string& name) {
    // The host's call, once it got the lock: count what it waited for while
    // it still holds the lock (the count cannot move on meanwhile).
    if (name == "OnLog") seenWhileWaiting = delivered.load();
    if (!s.armed || name != "OnOnlineStateChanged") return;
    if (++delivered == 1) {
      firstRunning = true;
      // Hold the first message until the host is queued for the lock.
      hostQueued = s.NetworkThreadWaits();
    }
  };
  ASSERT_TRUE(s.Open());
  s.armed = true;
  constexpr int kMessages = 3000;
  Bytes flood;
  for (int i = 0; i < kMessages; ++i) {
    const Bytes m = Presence(100, static_cast<uint8_t>(2 + (i & 1)));
    flood.insert(flood.end(), m.begin(), m.end());
  }
  ASSERT_TRUE(s.server.Send(flood));
  ASSERT_TRUE(Eventually([&] { return firstRunning.load(); }));
  s.client->Request_friend(0);  // its OnLog runs on this thread, under the lock
  EXPECT_TRUE(hostQueued);
  EXPECT_GE(seenWhileWaiting.load(), 1);
  // The message under way, and at most 64 more while the host thread,
  // asleep by then, woke up.
  EXPECT_LE(seenWhileWaiting.load(), 2 + 64)
      << "the host call waited for " << seenWhileWaiting.load() << " messages";
  UserRecord r{};
  // And the host does not stop deliveries either: all of them arrive while
  // it keeps calling.
  const bool all = Eventually([&] {
    s.client->GetUser(100, &r);
    return delivered.load() == kMessages;
  });
  EXPECT_TRUE(all) << delivered.load();
  s.client->Release();
}

// Release inside a callback on a host thread while the network thread waits
// for the lock: the host's outermost call destroys the object, and the
// network thread, let in afterwards, must not destroy it a second time.
TEST(Lifetime, ReleaseInsideAHostCallbackWhileTheNetworkWaitsDestroysOnce) {
  for (int round = 0; round < 5; ++round) {
    Session s;
    std::atomic<bool> queued{false};
    std::atomic<bool> released{false};
    std::atomic<int> afterRelease{0};
    s.sink.hook = [&](const std::string& name) {
      if (!s.armed) return;
      if (released) {
        ++afterRelease;
        return;
      }
      if (name != "OnEnumUser") return;
      s.server.Send(Presence(100, 1));
      queued = s.NetworkThreadWaits();
      released = true;
      s.client->Release();
    };
    ASSERT_TRUE(s.Open());
    s.armed = true;
    s.client->EnumUsers(0, 0, 0, 0, 0);  // the object is gone when this returns
    EXPECT_TRUE(queued);
    EXPECT_TRUE(released);
    EXPECT_TRUE(s.server.WaitPeerClosed());
    EXPECT_EQ(afterRelease.load(), 0);
  }
}

// Close inside a host callback while the network thread holds a message it
// read before: that message must not reach the tables or the sink.
TEST(Lifetime, NothingReadBeforeCloseIsDeliveredAfterIt) {
  Session s;
  std::atomic<bool> queued{false};
  s.sink.hook = [&](const std::string& name) {
    if (!s.armed || name != "OnEnumUser") return;
    s.armed = false;
    s.server.Send(Concat({FriendList(200, "bob"), Presence(200, 2)}));
    queued = s.NetworkThreadWaits();
    s.client->Close();
  };
  ASSERT_TRUE(s.Open());
  s.armed = true;
  s.client->EnumUsers(0, 0, 0, 0, 0);
  ASSERT_TRUE(queued);
  // A new connection: its OnConnect comes after anything the old one could
  // still have delivered, on the same thread.
  ASSERT_TRUE(s.client->Connect(&s.address));
  ASSERT_TRUE(s.server.Accept());
  ASSERT_TRUE(s.sink.WaitFor("OnConnect", 2));
  UserRecord r{};
  EXPECT_FALSE(s.client->GetUser(200, &r)) << "a list read before Close was filed after it";
  EXPECT_EQ(s.sink.Names(), (std::vector<std::string>{"QueryInterface", "OnConnect",
                                                      "OnOnlineStateChanged", "OnEnumUser",
                                                      "OnConnect"}));
  s.client->Release();
}

// The same for connection events: a connect that completes while the host
// closes from a callback, and an old attempt's failure after a new Connect.
TEST(Lifetime, NoConnectionEventOfAnEarlierAttemptAfterCloseOrConnect) {
  uint16_t refusedPort;
  {
    test::LoopbackServer gone;
    refusedPort = gone.port();
  }
  struct Row {
    const char* name;
    bool firstRefused;  // the first attempt fails (else it succeeds)
    bool closeBetween;  // Close after it, inside the callback
  };
  const Row rows[] = {
      {"connected, then Close", false, true},
      {"refused, then Connect", true, false},
      {"refused, then Close and Connect", true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::LoopbackServer server;
    WaitingSink sink;
    ImServerClient* client = NewClient();
    ASSERT_TRUE(client->SetSink(&sink));
    const ServerAddress good = To(server.port());
    const ServerAddress refused = To(refusedPort);
    std::atomic<bool> queued{false};
    std::atomic<bool> second{false};
    std::atomic<bool> armed{true};
    sink.hook = [&](const std::string& name) {
      if (!armed || name != "OnLog") return;
      armed = false;
      // On the host's thread, inside Request_friend's OnLog.
      ASSERT_TRUE(client->Connect(row.firstRefused ? &refused : &good));
      if (!row.firstRefused) {
        ASSERT_TRUE(server.Accept());
      }
      queued = Eventually([&] { return client->LockWaiters() > 0; });
      if (row.closeBetween) client->Close();
      if (row.firstRefused) second = client->Connect(&good);
    };
    client->Request_friend(0);
    ASSERT_TRUE(queued);
    if (!row.firstRefused) {
      EXPECT_FALSE(client->Logout(1)) << "Close left a connection that can send";
      ASSERT_TRUE(client->Connect(&good));
      second = true;
    }
    ASSERT_TRUE(second);
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(sink.WaitFor("OnConnect"));
    EXPECT_TRUE(client->Logout(1));
    EXPECT_EQ(sink.Names(), (std::vector<std::string>{"QueryInterface", "OnLog", "OnConnect"}));
    EXPECT_EQ(sink.log.find("OnConnect(0)"), std::string::npos) << sink.log;
    client->Release();
  }
}

// Exceptions from callbacks stop at the client: it says so through OnLog,
// reading goes on, a closure is still reported, and host calls that make
// callbacks return normally.
TEST(Lifetime, AThrowingCallbackIsReportedAndTheLinkGoesOn) {
  test::LoopbackServer server;
  WaitingSink sink;
  ImServerClient* client = NewClient();
  ASSERT_TRUE(client->SetSink(&sink));
  sink.hook = [](const std::string& name) {
    if (name == "OnConnect" || name == "OnOnlineStateChanged" || name == "OnEnumUser") {
      throw std::runtime_error("host bug");
    }
  };
  const ServerAddress address = To(server.port());
  ASSERT_TRUE(client->Connect(&address));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(sink.WaitFor("OnConnect"));
  // Thrown in the middle of a message: what came before it in the message
  // stands, the next message is handled.
  ASSERT_TRUE(server.Send(Concat({FriendList(100, "amy"), Presence(100, 2), Presence(100, 1)})));
  ASSERT_TRUE(sink.WaitFor("OnOnlineStateChanged", 2));
  client->EnumUsers(7, 0, 0, 0, 0);
  EXPECT_TRUE(client->Logout(1)) << "the connection is up and sending";
  server.Close();
  ASSERT_TRUE(sink.WaitFor("OnClose"));
  EXPECT_FALSE(client->Logout(1));
  std::string logs;
  // The last line is the closure's reason, not a callback's exception.
  ASSERT_FALSE(sink.logTexts.empty());
  EXPECT_EQ(sink.logTexts.back().find("ImServerClient: connection to 127.0.0.1:"), 0u);
  sink.logTexts.pop_back();
  for (const std::string& t : sink.logTexts) logs += t;
  EXPECT_EQ(logs,
            "ImServerClient::OnConnectState() callback threw an exception, state=1 kept!\n"
            "ImServerClient::HandleMessage() callback threw an exception, rest of msg ID=61 skipped!\n"
            "ImServerClient::HandleMessage() callback threw an exception, rest of msg ID=61 skipped!\n"
            "ImServerClient::EnumUsers() callback threw an exception, enumeration ended!\n");
  client->Release();
}

}  // namespace
}  // namespace kelvo
