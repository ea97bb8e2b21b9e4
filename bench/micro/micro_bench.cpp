// Micro benchmarks of the client core: one inbound message of each main kind
// through HandleMessage, the framer alone, every request's build and send,
// and the roster lookups at three table sizes.
//
// Every benchmark reports "allocs/op": heap allocations per operation,
// counted by the replaced operator new of this binary (alloc_counter.cpp),
// after one untimed warm-up operation. The warm-up takes the one-time costs
// out of the figure: a list's first delivery inserts its entries, later ones
// only replace records that are already there, which is the steady state of
// a connected client.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "bench_wire.h"
#include "core/im_server_client.h"
#include "nimbo2/framer.h"

namespace kelvo {
namespace bench {
namespace {

// One client over a NullSocket, with a NullSink attached.
struct Fixture {
  NullSink sink;
  std::unique_ptr<ImServerClient> client;

  explicit Fixture(bool attachSink = true)
      : client(std::make_unique<ImServerClient>(
            [](Nimbo2::MsgWorker* w) -> Nimbo2::TCPClient_Socks5* { return new NullSocket(w); })) {
    if (attachSink) client->SetSink(&sink);
  }

  uint32_t Deliver(Bytes& m) {
    return client->HandleMessage(m.data(), static_cast<uint32_t>(m.size()), 0, 0);
  }
};

// Runs `op` once untimed, then in the timed loop, and reports the heap
// allocations per call.
template <typename Op>
void Run(benchmark::State& state, Op&& op) {
  op();
  const uint64_t before = AllocationCount();
  for (auto _ : state) op();
  const uint64_t allocations = AllocationCount() - before;
  state.counters["allocs/op"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

// ---------------------------------------------------------------------------
// Inbound, one message per iteration.

// A friend on the roster goes online and offline in turn (the offline one
// also clears the game server after the callback).
void BM_Inbound_OnlineState(benchmark::State& state) {
  Fixture f;
  Bytes list = FullUserList(1000);
  f.Deliver(list);
  if (f.client->users().count(1005) == 0) return state.SkipWithError("friend not on the roster");
  Bytes online = OnlineState(1005, 2);
  Bytes offline = OnlineState(1005, 1);
  bool flip = false;
  Run(state, [&] {
    flip = !flip;
    benchmark::DoNotOptimize(f.Deliver(flip ? online : offline));
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Inbound_OnlineState);

// A 1,440-byte user list of 30 friends who are all on the roster already.
void BM_Inbound_UserList30(benchmark::State& state) {
  Fixture f;
  Bytes list = FullUserList(1000);
  Run(state, [&] { benchmark::DoNotOptimize(f.Deliver(list)); });
  if (f.client->users().size() != kFullUserListEntries) state.SkipWithError("list not taken");
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(list.size()));
}
BENCHMARK(BM_Inbound_UserList30);

// A 1,420-byte user list of 59 friends with 6-byte names (24-byte entries),
// as the reference server packs them, all on the roster already.
void BM_Inbound_UserList59(benchmark::State& state) {
  Fixture f;
  Bytes list = UserList(1000, 59, 24);
  Run(state, [&] { benchmark::DoNotOptimize(f.Deliver(list)); });
  if (f.client->users().size() != 59) state.SkipWithError("list not taken");
  state.SetItemsProcessed(state.iterations() * 59);
}
BENCHMARK(BM_Inbound_UserList59);

bool FillRoster(Fixture& f, uint32_t n);

// Friends coming and going once the roster's pages exist: a list of 59
// friends new to a roster of 1,000, then the 59 removal results (id 55,
// result 3). The new entries take the slots the last ones left, so nothing
// is allocated. Items are list entries.
void BM_Inbound_UserList59_Churn(benchmark::State& state) {
  Fixture f;
  Bytes me(layout::my_userdata::kFullSize, 0);
  ByteWriter meOut(me.data(), me.size());
  WriteHeader(meOut, me.size(), IM_MSG_ID_MY_USERDATA);
  meOut.U32(layout::my_userdata::kUserId, 1);
  f.Deliver(me);
  if (!FillRoster(f, 1000)) return state.SkipWithError("roster not filled");
  f.client->EnumUsers(0, 0, 0, 0, 0);  // the host has shown the roster: the order is kept
  Bytes list = UserList(5000, 59, 24);
  std::vector<Bytes> removals;
  for (uint32_t id = 5000; id < 5059; ++id) {
    Bytes r(kRemoveUserResultSize, 0);
    ByteWriter out(r.data(), r.size());
    WriteHeader(out, r.size(), IM_MSG_ID_REMOVE_USER_RESULT);
    out.U32(kRemoveUserResultCode, 3);
    out.U32(kRemoveUserResultUserId, id);
    removals.push_back(std::move(r));
  }
  Run(state, [&] {
    f.Deliver(list);
    for (Bytes& r : removals) f.Deliver(r);
  });
  if (f.client->users().size() != 1000) state.SkipWithError("friends not removed");
  state.SetItemsProcessed(state.iterations() * 59);
}
BENCHMARK(BM_Inbound_UserList59_Churn);

// A 1,440-byte group list of 20 groups, all held already.
void BM_Inbound_GroupList20(benchmark::State& state) {
  Fixture f;
  Bytes list = FullGroupList();
  Run(state, [&] { benchmark::DoNotOptimize(f.Deliver(list)); });
  if (f.client->groups().size() != 20) state.SkipWithError("list not taken");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Inbound_GroupList20);

// A 279-byte chat message (id 73) with a 255-byte text.
void BM_Inbound_Chat73(benchmark::State& state) {
  Fixture f;
  Bytes chat = Chat(1005);
  Run(state, [&] { benchmark::DoNotOptimize(f.Deliver(chat)); });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Inbound_Chat73);

// A search result list of 30 users, all held in the search table already.
void BM_Inbound_SearchList30(benchmark::State& state) {
  Fixture f;
  Bytes list = FullSearchList(5000);
  Run(state, [&] { benchmark::DoNotOptimize(f.Deliver(list)); });
  if (f.client->searchResults().size() != 30) state.SkipWithError("list not taken");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Inbound_SearchList30);

// An undefined id: rejected with a diagnostic text, formatted only when a
// sink is there to take it.
void BM_Inbound_Rejected(benchmark::State& state) {
  const bool withSink = state.range(0) != 0;
  Fixture f(withSink);
  Bytes bad = UndefinedId();
  Run(state, [&] { benchmark::DoNotOptimize(f.Deliver(bad)); });
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(withSink ? "with sink" : "no sink");
}
BENCHMARK(BM_Inbound_Rejected)->ArgName("sink")->Arg(1)->Arg(0);

// ---------------------------------------------------------------------------
// The framer alone: 64 KiB of back-to-back messages fed as a socket would
// hand them over, every message counted.

void BM_Framer(benchmark::State& state) {
  const bool lists = state.range(0) != 0;
  Bytes one = lists ? FullUserList(1000) : OnlineState(1005, 2);
  Bytes stream;
  while (stream.size() + one.size() <= Nimbo2::Framer::kReadChunk) {
    stream.insert(stream.end(), one.begin(), one.end());
  }
  Nimbo2::Framer framer;
  uint64_t messages = 0;
  auto count = [&messages](uint8_t*, std::size_t) {
    ++messages;
    return true;
  };
  Run(state, [&] { framer.Feed(stream.data(), stream.size(), count); });
  benchmark::DoNotOptimize(messages);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
  state.SetItemsProcessed(state.iterations() *
                          static_cast<int64_t>(stream.size() / one.size()));
  state.SetLabel(lists ? "1440-byte lists" : "13-byte presence");
}
BENCHMARK(BM_Framer)->ArgName("lists")->Arg(0)->Arg(1);

// ---------------------------------------------------------------------------
// Requests: build the message and hand it to a socket that takes it and
// sends nothing.

template <typename Call>
void RequestBench(benchmark::State& state, Call&& call) {
  Fixture f;
  Run(state, [&] { benchmark::DoNotOptimize(call(*f.client)); });
  state.SetItemsProcessed(state.iterations());
}

const uint8_t kPassword[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const std::string kGroupName(63, 'g');
const std::string kChatText(255, 't');
const std::string kSearchName(31, 's');

void BM_Request_Login(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.Login(42, kPassword, nullptr); });
}
void BM_Request_Logout(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.Logout(42); });
}
void BM_Request_AddUser(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.AddUser(1, 2, 3); });
}
void BM_Request_RemoveUser(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.RemoveUser(7); });
}
void BM_Request_AddGroup(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.AddGroup(1, 2, kGroupName.c_str()); });
}
void BM_Request_DeleteGroup(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.DeleteGroup(3); });
}
void BM_Request_RenameGroup(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.RenameGroup(3, kGroupName.c_str()); });
}
void BM_Request_MoveUser(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.MoveUser(1, 2, 3); });
}
void BM_Request_SendChatMessage(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) {
    return c.SendChatMessage(1005, 0, kChatText.c_str(), 1, 2, 3);
  });
}
void BM_Request_EnterGameServer(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.EnterGameServer(9); });
}
void BM_Request_LeaveGameServer(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.LeaveGameServer(9); });
}
void BM_Request_SearchUser(benchmark::State& s) {
  RequestBench(s, [](ImServerClient& c) { return c.SearchUser(1, 2, kSearchName.c_str()); });
}
// ReplyAddRequest sends only while a request is pending and erases it before
// the send, so each iteration first takes one request in (a 60-byte
// IM_MSG_ID_ADD_USER_REQUEST) and then answers it: the pair is measured, and
// the pair necessarily allocates the one table entry the request occupies.
void BM_Request_ReplyAddRequest_WithIncoming(benchmark::State& state) {
  Fixture f;
  Bytes request(kAddRequestSize, 0);
  ByteWriter out(request.data(), request.size());
  WriteHeader(out, request.size(), IM_MSG_ID_ADD_USER_REQUEST);
  out.U32(kAddRequestUserId, 777);
  Run(state, [&] {
    f.Deliver(request);
    benchmark::DoNotOptimize(f.client->ReplyAddRequest(777, 0, true));
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Request_Login);
BENCHMARK(BM_Request_Logout);
BENCHMARK(BM_Request_AddUser);
BENCHMARK(BM_Request_RemoveUser);
BENCHMARK(BM_Request_AddGroup);
BENCHMARK(BM_Request_DeleteGroup);
BENCHMARK(BM_Request_RenameGroup);
BENCHMARK(BM_Request_MoveUser);
BENCHMARK(BM_Request_SendChatMessage);
BENCHMARK(BM_Request_EnterGameServer);
BENCHMARK(BM_Request_LeaveGameServer);
BENCHMARK(BM_Request_SearchUser);
BENCHMARK(BM_Request_ReplyAddRequest_WithIncoming);

// ---------------------------------------------------------------------------
// Lookups over a roster of 100, 10,000 and 100,000 friends.

// Fills the roster with ids 1..n through ordinary user lists (30 entries of
// 47 bytes: 1,414 bytes, inside the 1,440 the client takes). False when the
// roster did not come out at n friends.
bool FillRoster(Fixture& f, uint32_t n) {
  for (uint32_t first = 1; first <= n; first += kFullUserListEntries) {
    const uint32_t count = std::min<uint32_t>(kFullUserListEntries, n - first + 1);
    Bytes list = UserList(first, count, 47);
    f.Deliver(list);
  }
  return f.client->users().size() == n;
}

// The user lists that carry `ids` in order, 30 entries of 47 bytes each.
std::vector<Bytes> ListsOf(const std::vector<uint32_t>& ids) {
  std::vector<Bytes> lists;
  for (std::size_t first = 0; first < ids.size(); first += kFullUserListEntries) {
    const std::size_t count = std::min<std::size_t>(kFullUserListEntries, ids.size() - first);
    Bytes list = UserList(1, count, 47);
    ByteWriter out(list.data(), list.size());
    for (std::size_t i = 0; i < count; ++i) {
      out.U32(kHeaderSize + 47 * i + kUserEntryUserId, ids[first + i]);
    }
    lists.push_back(std::move(list));
  }
  return lists;
}

// Ids 1..n ascending (as a server that sends its table in order), or n
// distinct ids scattered over the whole 32-bit range in no order (odd
// multiples are a bijection on 32 bits; about half have the top bit set).
std::vector<uint32_t> RosterIds(uint32_t n, bool scattered) {
  std::vector<uint32_t> ids(n);
  for (uint32_t i = 0; i < n; ++i) ids[i] = scattered ? (i + 1) * 2654435761u : i + 1;
  return ids;
}

// Heap in use: chunks of the main heap plus the ones glibc maps on their own
// (large blocks such as a table's arrays never show up in the first figure).
std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// A whole friend list of `n` entries arriving in a fresh client, one list
// message after another, and with `enumerate` the host's first EnumUsers
// after it (which pays for putting a list that came in no order in order);
// items are entries taken. Also reports the heap the roster holds
// afterwards, per entry.
void BM_RosterLoad(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  const bool scattered = state.range(1) != 0;
  const bool enumerate = state.range(2) != 0;
  std::vector<Bytes> lists = ListsOf(RosterIds(n, scattered));
  double heapPerEntry = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto f = std::make_unique<Fixture>();
    malloc_trim(0);
    const std::size_t before = HeapInUse();
    state.ResumeTiming();
    for (Bytes& list : lists) f->Deliver(list);
    if (enumerate) f->client->EnumUsers(0, 0, 0, 0, 0);
    state.PauseTiming();
    heapPerEntry = static_cast<double>(HeapInUse() - before) / n;
    if (f->client->users().size() != n) state.SkipWithError("roster not filled");
    f.reset();
    state.ResumeTiming();
  }
  state.counters["heap B/entry"] = heapPerEntry;
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  state.SetLabel(std::string(scattered ? "scattered ids" : "ascending ids") +
                 (enumerate ? ", then EnumUsers" : ""));
}
BENCHMARK(BM_RosterLoad)
    ->ArgNames({"friends", "scattered", "enum"})
    ->Args({100000, 0, 0})
    ->Args({100000, 1, 0})
    ->Args({100000, 0, 1})
    ->Args({100000, 1, 1})
    // Just past a doubling of the roster table's index: its largest share.
    ->Args({104858, 0, 0})
    ->Unit(benchmark::kMillisecond);

// Presence for friends picked at random from a roster of n: the lookup meets
// the cache misses a large roster brings, unlike BM_Inbound_OnlineState,
// which flips one friend.
void BM_Inbound_OnlineState_Roster(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  Fixture f;
  std::vector<uint32_t> ids = RosterIds(n, true);
  for (Bytes& list : ListsOf(ids)) f.Deliver(list);
  if (f.client->users().size() != n) return state.SkipWithError("roster not filled");
  std::shuffle(ids.begin(), ids.end(), std::mt19937(12345));
  std::vector<Bytes> notices;
  for (std::size_t i = 0; i < 4096; ++i) {
    notices.push_back(OnlineState(ids[i % ids.size()], static_cast<uint8_t>(2 + i % 2)));
  }
  std::size_t next = 0;
  Run(state, [&] {
    benchmark::DoNotOptimize(f.Deliver(notices[next]));
    if (++next == notices.size()) next = 0;
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Inbound_OnlineState_Roster)->Arg(100)->Arg(100000);

// GetUser of friends in a random order, so the larger tables are measured
// with the cache misses a host's scattered lookups would see.
void BM_GetUser(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  Fixture f;
  if (!FillRoster(f, n)) return state.SkipWithError("roster not filled");
  std::vector<uint32_t> ids(n);
  for (uint32_t i = 0; i < n; ++i) ids[i] = i + 1;
  std::shuffle(ids.begin(), ids.end(), std::mt19937(12345));
  std::size_t next = 0;
  UserRecord out{};
  Run(state, [&] {
    benchmark::DoNotOptimize(f.client->GetUser(ids[next], &out));
    if (++next == ids.size()) next = 0;
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetUser)->Arg(100)->Arg(10000)->Arg(100000);

// One EnumUsers without filters: a callback for every friend. Items are
// friends visited.
void BM_EnumUsers(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  Fixture f;
  if (!FillRoster(f, n)) return state.SkipWithError("roster not filled");
  Run(state, [&] { f.client->EnumUsers(0, 0, 0, 0, 0); });
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_EnumUsers)->Arg(100)->Arg(10000)->Arg(100000);

}  // namespace
}  // namespace bench
}  // namespace kelvo

BENCHMARK_MAIN();
