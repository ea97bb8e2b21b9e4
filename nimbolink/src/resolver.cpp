#include "resolver.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "nimbo2/link_security.h"
#include "nimbo2/tcp_client_socks5.h"

namespace Nimbo2 {

namespace {

std::atomic<ResolveHook> g_hook{nullptr};
std::atomic<int> g_running{0};

// A resolver thread. Kept until it has ended and been joined, so that a
// client going away can tell whether one may still run our code.
struct Worker {
  net::Thread thread;
  std::atomic<bool> ended{false};
};

struct Workers {
  std::mutex mu;
  std::vector<std::shared_ptr<Worker>> all;

  // Joins the threads that ended (at once: they are past their work).
  // Returns how many may still run. Under mu.
  std::size_t JoinEndedLocked() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i]->ended.load(std::memory_order_acquire)) {
        all[i]->thread.Join();
      } else {
        all[kept++] = std::move(all[i]);
      }
    }
    all.resize(kept);
    return kept;
  }
};

// Destroyed at the process's end (or the module's unload, which only
// happens when no resolver thread ran on): a thread still running then
// touches only its own Worker and Resolution, which it holds itself.
Workers& TheWorkers() {
  static Workers workers;
  return workers;
}

}  // namespace

HostKind ClassifyHost(const char* host, std::string* bare) {
  if (host == nullptr) return HostKind::kInvalid;
  const std::size_t n = std::strlen(host);
  if (n == 0 || n > kMaxServerName) return HostKind::kInvalid;
  const std::string text(host, n);
  uint8_t bytes[16];
  if (text.front() == '[') {
    if (n < 3 || text.back() != ']') return HostKind::kInvalid;
    const std::string inner = text.substr(1, n - 2);
    if (!net::ParseIpv6(inner, bytes)) return HostKind::kInvalid;
    *bare = inner;
    return HostKind::kIpv6;
  }
  if (text.find(':') != std::string::npos) {
    if (!net::ParseIpv6(text, bytes)) return HostKind::kInvalid;
    *bare = text;
    return HostKind::kIpv6;
  }
  *bare = text;
  if (IsIpv4Literal(text)) return HostKind::kIpv4;
  if (IsValidServerName(host)) return HostKind::kName;
  return HostKind::kInvalid;
}

std::shared_ptr<Resolution> Resolution::Start(const std::string& host, uint16_t port,
                                              std::function<void()> done, int* error) {
  std::shared_ptr<Resolution> self(new Resolution());
  self->done_ = std::move(done);
  auto worker = std::make_shared<Worker>();
  Workers& workers = TheWorkers();
  std::lock_guard<std::mutex> lock(workers.mu);
  workers.JoinEndedLocked();
  g_running.fetch_add(1, std::memory_order_relaxed);
  auto body = [self, worker, host, port]() mutable {
    self->Run(host, port);
    self.reset();
    g_running.fetch_sub(1, std::memory_order_relaxed);
    worker->ended.store(true, std::memory_order_release);
  };
  if (!worker->thread.Start(std::move(body), kResolverStackBytes, "kelvo-resolve", error)) {
    g_running.fetch_sub(1, std::memory_order_relaxed);
    return nullptr;
  }
  workers.all.push_back(std::move(worker));
  return self;
}

void Resolution::Run(const std::string& host, uint16_t port) {
  std::vector<net::Address> addresses;
  std::string why;
  bool ok;
  try {
    const ResolveHook hook = g_hook.load(std::memory_order_acquire);
    bool answered = false;
    ok = ReservedName(host, port, &addresses, &why, &answered);
    if (!answered) {
      ok = hook != nullptr ? hook(host, port, &addresses, &why)
                           : net::Resolve(host, port, &addresses, &why);
    }
    if (ok && addresses.empty()) {
      ok = false;
      why = "the name has no address";
    }
  } catch (...) {
    ok = false;
    addresses.clear();
    why = "out of memory";
  }
  std::function<void()> done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ok_ = ok;
    addresses_ = std::move(addresses);
    why_ = std::move(why);
    done = std::move(done_);
    done_ = nullptr;
  }
  // Outside the lock: what `done` lets go of may be the last hold on an
  // attempt, whose end abandons this resolution.
  if (done) {
    try {
      done();
    } catch (...) {
      // Posting failed for want of memory: the attempt's deadline ends it.
    }
  }
}

bool Resolution::Result(std::vector<net::Address>* addresses, std::string* why) {
  std::lock_guard<std::mutex> lock(mu_);
  *addresses = addresses_;
  *why = why_;
  return ok_;
}

void Resolution::Abandon() {
  std::lock_guard<std::mutex> lock(mu_);
  done_ = nullptr;
}

int ResolutionsRunning() { return g_running.load(std::memory_order_relaxed); }

void ReapResolvers() {
  Workers& workers = TheWorkers();
  std::size_t running;
  {
    std::lock_guard<std::mutex> lock(workers.mu);
    running = workers.JoinEndedLocked();
  }
  if (running != 0) KeepModuleLoaded();
}

namespace {

// `suffix` is `host`'s last label(s), compared without case.
bool EndsWithLabel(const std::string& host, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  if (host.size() < n) return false;
  if (host.size() > n && host[host.size() - n - 1] != '.') return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = host[host.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

}  // namespace

bool ReservedName(const std::string& host, uint16_t port, std::vector<net::Address>* out,
                  std::string* why, bool* answered) {
  *answered = false;
  if (EndsWithLabel(host, "localhost")) {
    *answered = true;
    net::Address six;
    six.family = net::Address::kIpv6;
    six.ip[15] = 1;
    six.port = port;
    out->push_back(six);
    out->push_back(net::Address::Ipv4(0x7F000001, port));
    return true;
  }
  if (EndsWithLabel(host, "invalid")) {
    *answered = true;
    *why = "no such name";
    return false;
  }
  return false;
}

void SetResolveHookForTests(ResolveHook hook) { g_hook.store(hook, std::memory_order_release); }

std::vector<net::Address> InterleaveFamilies(const std::vector<net::Address>& addresses) {
  std::vector<net::Address> six, four, out;
  for (const net::Address& a : addresses) {
    (a.family == net::Address::kIpv6 ? six : four).push_back(a);
  }
  std::size_t i = 0, j = 0;
  while ((i < six.size() || j < four.size()) && out.size() < kMaxAddressesTried) {
    if (i < six.size()) out.push_back(six[i++]);
    if (j < four.size() && out.size() < kMaxAddressesTried) out.push_back(four[j++]);
  }
  return out;
}

}  // namespace Nimbo2
