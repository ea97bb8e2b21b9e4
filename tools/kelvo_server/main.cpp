// kelvo-server: the messaging server on TCP. One thread runs the io_context;
// the protocol logic lives in ServerState, this file only moves bytes.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <asio.hpp>

#include "admin.h"
#include "chaos.h"
#include "descriptor_limit.h"
#include "link.h"
#include "nimbo2/msg_head.h"
#include "protocol/message_ids.h"
#include "seed.h"
#include "server_state.h"

namespace kelvo {
namespace server {
namespace {

// The descriptor limit the server runs with, for the line that tells a
// failed accept.
unsigned long g_descriptorLimit = 0;

using asio::ip::tcp;

void LogLine(const std::string& line) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
  std::fprintf(stderr, "[%s] %s\n", stamp, line.c_str());
  std::fflush(stderr);
}

class Server;

// One client's socket: reads whole requests (the header tells the size) and
// writes queued messages one at a time.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server& server, tcp::socket socket, const TlsContext* tls, SessionId id,
             const ChaosFault& fault)
      : server_(server), link_(std::move(socket), tls), id_(id) {
    if (fault.active) chaos_ = std::make_unique<Chaos>(fault, link_);
  }

  void Start();
  void Send(Bytes message);
  void Close() {
    if (closed_) return;
    closed_ = true;
    if (chaos_ != nullptr) chaos_->timer.cancel();
    link_.Close();
  }

 private:
  // The fault this connection was given and how far it got. Only a
  // connection with a fault has one: the others stay as small as before.
  struct Chaos {
    Chaos(const ChaosFault& f, Link& link)
        : fault(f), delays(f), timer(link.executor()) {}
    ChaosFault fault;
    bool armed = true;         // the point is still to come
    bool sawLoginOk = false;   // the login answer went out
    bool drip = false;         // every message from now on a byte at a time
    bool delay = false;        // every message from now on held back first
    bool stalled = false;      // never read again
    bool ended = false;        // a FIN went out: nothing more is written
    ChaosDelays delays;
    asio::steady_timer timer;  // the drip's pauses, the delays, the stall's watch
  };

  void ReadHeader();
  void ReadBody(std::size_t size);
  void WriteNext();
  // Whether `m`, the next message to go out, is where the fault strikes.
  bool AtPoint(const Bytes& m);
  void Inject();
  // Writes the front message whole and goes on with the next one.
  void WriteFront();
  void DripFrom(std::size_t offset);
  void Delayed();
  void WatchStall();
  void Written();

  Server& server_;
  Link link_;
  SessionId id_;
  // The longest request is 279 bytes; the header decides how much is read.
  std::array<uint8_t, 512> buffer_{};
  // A list allocates nothing until a message waits; a deque takes 576
  // bytes up front, for every idle connection.
  std::list<Bytes> queue_;
  std::unique_ptr<Chaos> chaos_;
  bool closed_ = false;
};

// One listening socket and the timer that retries its accept.
struct Listener {
  explicit Listener(asio::io_context& io) : acceptor(io), pause(io) {}
  tcp::acceptor acceptor;
  asio::steady_timer pause;
};

class Server : public Outlet {
 public:
  // Listens on `endpoint` and on the `extra` IPv4 addresses after it, all
  // at the port the first one got (a crowd of clients spread over
  // 127.0.0.1, .2, ... does not run out of local ports).
  Server(asio::io_context& io, tcp::endpoint endpoint, unsigned extra, Directory dir,
         int verbosity, std::shared_ptr<TlsContext> tls)
      : state_(std::move(dir), *this), verbosity_(verbosity), tls_(std::move(tls)) {
    for (unsigned i = 0; i <= extra; ++i) {
      Listener& l = listeners_.emplace_back(io);
      l.acceptor.open(endpoint.protocol());
      l.acceptor.set_option(tcp::acceptor::reuse_address(true));
      l.acceptor.bind(endpoint);
      l.acceptor.listen();
      if (i == 0) endpoint.port(l.acceptor.local_endpoint().port());
      if (endpoint.address().is_v4()) {
        endpoint.address(asio::ip::address_v4(endpoint.address().to_v4().to_uint() + 1));
      }
    }
  }

  tcp::endpoint local_endpoint() const { return listeners_.front().acceptor.local_endpoint(); }
  std::size_t listeners() const { return listeners_.size(); }
  tcp::endpoint endpoint(std::size_t i) const {
    return std::next(listeners_.begin(), static_cast<std::ptrdiff_t>(i))->acceptor.local_endpoint();
  }
  ServerState& state() { return state_; }
  // A new certificate and key for the connections accepted from now on.
  void SetTls(std::shared_ptr<TlsContext> tls) { tls_ = std::move(tls); }
  // Faults for the connections accepted from now on (chaos.h).
  void SetChaos(std::unique_ptr<ChaosPlan> plan) { chaos_ = std::move(plan); }
  bool chaos() const { return chaos_ != nullptr; }
  ChaosCounts& chaosCounts() { return chaosCounts_; }

  void Accept() {
    for (Listener& l : listeners_) Accept(l);
  }

  void Accept(Listener& l) {
    l.acceptor.async_accept([this, &l](const asio::error_code& ec, tcp::socket socket) {
      if (ec) {
        if (ec == asio::error::operation_aborted) return;
        if (OutOfResources(ec)) {
          // The waiting connection stays in the backlog and the listening
          // socket stays readable: accepting again at once would spin. Try
          // again a little later, when a connection may have gone.
          if (!acceptStalled_) {
            LogLine("accept failed: " + ec.message() + " (the descriptor limit is " +
                    std::to_string(g_descriptorLimit) +
                    "; raise it with `ulimit -n`, the hard limit as root); retrying every 100 ms");
          }
          acceptStalled_ = true;
          l.pause.expires_after(std::chrono::milliseconds(100));
          l.pause.async_wait([this, &l](const asio::error_code& e) {
            if (!e) Accept(l);
          });
          return;
        }
        LogLine("accept failed: " + ec.message());
      } else {
        if (acceptStalled_) LogLine("accepting connections again");
        acceptStalled_ = false;
        const SessionId id = next_++;
        asio::error_code peerEc;
        const tcp::endpoint peer = socket.remote_endpoint(peerEc);
        std::ostringstream where;
        if (peerEc) {
          where << "?";
        } else {
          where << peer.address().to_string() << ":" << peer.port();
        }
        asio::error_code nodelayEc;
        socket.set_option(tcp::no_delay(true), nodelayEc);
        ChaosFault fault;
        if (chaos_ != nullptr) {
          fault = chaos_->For(id);
          if (fault.active) {
            chaosCounts_.Planned();
            LogLine("session " + std::to_string(id) + ": chaos: " + fault.Describe());
          }
        }
        auto conn =
            std::make_shared<Connection>(*this, std::move(socket), tls_.get(), id, fault);
        connections_[id] = conn;
        state_.Connect(id, where.str());
        conn->Start();
      }
      Accept(l);
    });
  }

  void Stop() {
    for (Listener& l : listeners_) {
      asio::error_code ec;
      l.acceptor.close(ec);
      l.pause.cancel();
    }
    for (auto& [id, conn] : connections_) conn->Close();
    connections_.clear();
  }

  // The socket went away (peer closed, read or write error, failed TLS
  // handshake: `why` says which).
  void Lost(SessionId id, const std::string& why = "") {
    if (!why.empty()) LogLine("session " + std::to_string(id) + ": " + why);
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    std::shared_ptr<Connection> conn = it->second;
    connections_.erase(it);
    conn->Close();
    state_.Disconnect(id);
  }

  void Send(SessionId session, Bytes message) override {
    auto it = connections_.find(session);
    if (it != connections_.end()) it->second->Send(std::move(message));
  }
  void Close(SessionId session) override {
    auto it = connections_.find(session);
    if (it == connections_.end()) return;
    std::shared_ptr<Connection> conn = it->second;
    connections_.erase(it);
    conn->Close();
  }
  void Log(int level, const std::string& line) override {
    if (level <= verbosity_) LogLine(line);
  }

 private:
  // Asio reports errno values in a category of its own, which does not
  // compare equal to std::errc.
  static bool OutOfResources(const asio::error_code& ec) {
    return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
           ec == asio::error::no_memory ||
           (ec.category() == asio::error::get_system_category() && ec.value() == ENFILE);
  }

  std::list<Listener> listeners_;  // a list: handlers hold references
  bool acceptStalled_ = false;
  ServerState state_;
  int verbosity_;
  std::shared_ptr<TlsContext> tls_;  // null: plain TCP
  SessionId next_ = 1;
  std::map<SessionId, std::shared_ptr<Connection>> connections_;
  std::unique_ptr<ChaosPlan> chaos_;
  ChaosCounts chaosCounts_;
};

void Connection::Start() {
  auto self = shared_from_this();
  link_.Start([this, self](const asio::error_code& ec) {
    if (closed_) return;
    if (ec) return server_.Lost(id_, link_.failure());
    ReadHeader();
  });
}

void Connection::Send(Bytes message) {
  if (closed_ || (chaos_ != nullptr && chaos_->ended)) return;
  queue_.push_back(std::move(message));
  if (queue_.size() == 1) WriteNext();
}

void Connection::WriteNext() {
  if (chaos_ == nullptr) return WriteFront();
  Chaos& c = *chaos_;
  if (c.armed && AtPoint(queue_.front())) return Inject();
  if (queue_.front()[3] == IM_MSG_ID_MY_LOGIN_OK) c.sawLoginOk = true;
  if (c.drip) return DripFrom(0);
  if (c.delay) return Delayed();
  WriteFront();
}

void Connection::WriteFront() {
  auto self = shared_from_this();
  link_.WriteAll(queue_.front().data(), queue_.front().size(),
                 [this, self](const asio::error_code& ec) {
                   if (closed_) return;
                   if (ec) {
                     server_.Lost(id_, link_.failure());
                     return;
                   }
                   Written();
                 });
}

void Connection::Written() {
  queue_.pop_front();
  if (!queue_.empty()) WriteNext();
}

bool Connection::AtPoint(const Bytes& m) {
  switch (chaos_->fault.point) {
    case ChaosPoint::kAfterLogin: return chaos_->sawLoginOk;
    case ChaosPoint::kRoster: return m[3] == IM_MSG_MY_USER_LIST;
    case ChaosPoint::kChat: return m[3] == IM_MSG_ID_USER_CHAT;
  }
  return false;
}

void Connection::Inject() {
  Chaos& c = *chaos_;
  c.armed = false;
  const ChaosFault& f = c.fault;
  const Bytes& m = queue_.front();
  server_.chaosCounts().Injected(f.kind);
  std::string what = std::string(ChaosKindName(f.kind)) + " at " + ChaosPointName(f.point) +
                     ", message " + std::to_string(m[3]) + " of " + std::to_string(m.size()) +
                     " bytes";
  auto self = shared_from_this();
  switch (f.kind) {
    case ChaosKind::kReset:
    case ChaosKind::kFin: {
      const std::size_t cut = f.CutAt(m.size());
      LogLine("session " + std::to_string(id_) + ": chaos: " + what + ", cut after " +
              std::to_string(cut));
      const bool reset = f.kind == ChaosKind::kReset;
      link_.WriteAll(m.data(), cut, [this, self, reset](const asio::error_code& ec) {
        if (closed_) return;
        if (ec) return server_.Lost(id_, link_.failure());
        if (reset) {
          link_.Abort();
          server_.Lost(id_);
          return;
        }
        // The client's requests are still read (and answered into the
        // void) until it closes: a close with unread bytes would be a reset.
        chaos_->ended = true;
        queue_.clear();
        link_.ShutdownSend();
      });
      return;
    }
    case ChaosKind::kTlsNoClose:
      LogLine("session " + std::to_string(id_) + ": chaos: " + what);
      c.ended = true;
      queue_.clear();
      link_.ShutdownSend();
      return;
    case ChaosKind::kStall:
      LogLine("session " + std::to_string(id_) + ": chaos: " + what);
      c.stalled = true;
      WatchStall();
      return WriteNext();
    case ChaosKind::kDrip:
      LogLine("session " + std::to_string(id_) + ": chaos: " + what + ", a byte every " +
              std::to_string(f.DripPauseUs()) + " us");
      c.drip = true;
      return WriteNext();
    case ChaosKind::kDelay:
      LogLine("session " + std::to_string(id_) + ": chaos: " + what);
      c.delay = true;
      return WriteNext();
    case ChaosKind::kGarbage: {
      LogLine("session " + std::to_string(id_) + ": chaos: " + what + ", " +
              (f.GarbageIsShortLength() ? "a length below 4" : "a foreign category") + " first");
      // The garbage goes first as a message of its own in the queue, so
      // that the writes keep their one-at-a-time order.
      queue_.push_front(f.Garbage());
      return WriteFront();
    }
  }
}

void Connection::DripFrom(std::size_t offset) {
  auto self = shared_from_this();
  link_.WriteAll(queue_.front().data() + offset, 1,
                 [this, self, offset](const asio::error_code& ec) {
                   if (closed_) return;
                   if (ec) return server_.Lost(id_, link_.failure());
                   if (offset + 1 == queue_.front().size()) return Written();
                   chaos_->timer.expires_after(
                       std::chrono::microseconds(chaos_->fault.DripPauseUs()));
                   chaos_->timer.async_wait([this, self, offset](const asio::error_code& e) {
                     if (closed_ || e) return;
                     DripFrom(offset + 1);
                   });
                 });
}

void Connection::Delayed() {
  auto self = shared_from_this();
  chaos_->timer.expires_after(std::chrono::milliseconds(chaos_->delays.NextMs()));
  chaos_->timer.async_wait([this, self](const asio::error_code& e) {
    if (closed_ || e) return;
    WriteFront();
  });
}

// A stalled client is never read again, so its end would go unseen: a look
// every 200 ms whether it closed (POLLRDHUP holds once its FIN is in, even
// with unread bytes before it) or reset.
void Connection::WatchStall() {
  const int fd = link_.native_handle();
  if (fd < 0) return;
  pollfd p{fd, POLLRDHUP, 0};
  if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
    return server_.Lost(id_);
  }
  // The drip and the delay use the timer too, but a stall has neither.
  auto self = shared_from_this();
  chaos_->timer.expires_after(std::chrono::milliseconds(200));
  chaos_->timer.async_wait([this, self](const asio::error_code& e) {
    if (closed_ || e) return;
    WatchStall();
  });
}

void Connection::ReadHeader() {
  auto self = shared_from_this();
  link_.ReadExactly(buffer_.data(), kHeaderSize, [this, self](const asio::error_code& ec) {
                     if (closed_) return;
                     if (ec) {
                       server_.Lost(id_, link_.failure());
                       return;
                     }
                     if (chaos_ != nullptr && chaos_->stalled) return;
                     std::string why;
                     const std::size_t size = RequestSizeFromHeader(buffer_.data(), &why);
                     if (size == 0 || size > buffer_.size()) {
                       server_.state().Reject(id_, why);
                       return;
                     }
                     ReadBody(size);
                   });
}

void Connection::ReadBody(std::size_t size) {
  auto self = shared_from_this();
  link_.ReadExactly(buffer_.data() + kHeaderSize, size - kHeaderSize,
                    [this, self, size](const asio::error_code& ec) {
                     if (closed_) return;
                     if (ec) {
                       server_.Lost(id_, link_.failure());
                       return;
                     }
                     if (chaos_ != nullptr && chaos_->stalled) return;
                     server_.state().HandleRequest(id_, buffer_.data(), size);
                     if (!closed_ && (chaos_ == nullptr || !chaos_->stalled)) ReadHeader();
                   });
}

void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: kelvo-server [--bind 127.0.0.1] [--addresses N] [--port N] [--seed FILE] "
               "[-v|-vv] [--admin-stdin]\n"
               "                    [--tls-cert FILE --tls-key FILE]\n"
               "                    [--chaos SEED [--chaos-share P] [--chaos-only KIND,...]]\n"
               "With --addresses N it listens on N IPv4 addresses from --bind on (127.0.0.1 to\n"
               "127.0.0.N), one port: a crowd spread over them does not run out of local ports.\n"
               "With --tls-cert and --tls-key the listener speaks TLS only (SIGHUP reloads both\n"
               "files for the connections accepted after it).\n"
               "With --chaos a share P (default 0.5) of the connections get a fault, drawn from\n"
               "SEED and the connection's number: reset, fin, stall, drip, delay, tls-noclose\n"
               "(TLS only), garbage; --chaos-only picks among those.\n");
}

int Run(int argc, char** argv) {
  std::string bind = "127.0.0.1";
  unsigned long addresses = 1;
  unsigned long port = 0;
  std::string seedPath;
  int verbosity = 0;
  bool admin = false;
  std::string tlsCert, tlsKey;
  bool chaos = false;
  uint64_t chaosSeed = 0;
  double chaosShare = 0.5;
  std::vector<ChaosKind> chaosKinds;
  ParseChaosKinds("all", &chaosKinds, nullptr);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--bind" && value(&bind)) {
    } else if (arg == "--addresses" && value(&v)) {
      char* end = nullptr;
      addresses = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || addresses < 1 || addresses > 250) {
        std::fprintf(stderr, "kelvo-server: --addresses takes 1 to 250\n");
        return 2;
      }
    } else if (arg == "--port" && value(&v)) {
      char* end = nullptr;
      port = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || port > 65535) {
        std::fprintf(stderr, "kelvo-server: bad port '%s'\n", v.c_str());
        return 2;
      }
    } else if (arg == "--chaos" && value(&v)) {
      char* end = nullptr;
      errno = 0;
      chaosSeed = std::strtoull(v.c_str(), &end, 10);
      if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0) {
        std::fprintf(stderr, "kelvo-server: bad chaos seed '%s'\n", v.c_str());
        return 2;
      }
      chaos = true;
    } else if (arg == "--chaos-share" && value(&v)) {
      char* end = nullptr;
      chaosShare = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(chaosShare >= 0 && chaosShare <= 1)) {
        std::fprintf(stderr, "kelvo-server: bad chaos share '%s' (0 to 1)\n", v.c_str());
        return 2;
      }
    } else if (arg == "--chaos-only" && value(&v)) {
      std::string error;
      if (!ParseChaosKinds(v, &chaosKinds, &error)) {
        std::fprintf(stderr, "kelvo-server: --chaos-only: %s\n", error.c_str());
        return 2;
      }
    } else if (arg == "--seed" && value(&seedPath)) {
    } else if (arg == "--tls-cert" && value(&tlsCert)) {
    } else if (arg == "--tls-key" && value(&tlsKey)) {
    } else if (arg == "-v") {
      verbosity = verbosity < 1 ? 1 : verbosity;
    } else if (arg == "-vv") {
      verbosity = 2;
    } else if (arg == "--admin-stdin") {
      admin = true;
    } else if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    } else {
      Usage(stderr);
      return 2;
    }
  }

  if (tlsCert.empty() != tlsKey.empty()) {
    std::fprintf(stderr, "kelvo-server: --tls-cert and --tls-key go together\n");
    return 2;
  }
  std::shared_ptr<TlsContext> tls;
  if (!tlsCert.empty()) {
    std::string error;
    tls = TlsContext::Load(tlsCert, tlsKey, &error);
    if (!tls) {
      std::fprintf(stderr, "kelvo-server: TLS: %s\n", error.c_str());
      return 2;
    }
  }

  Directory dir;
  if (seedPath.empty()) {
    dir = DemoDirectory();
  } else {
    std::ifstream file(seedPath, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "kelvo-server: cannot read seed file %s\n", seedPath.c_str());
      return 2;
    }
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    if (!LoadSeed(text.str(), &dir, &error)) {
      std::fprintf(stderr, "kelvo-server: %s: %s\n", seedPath.c_str(), error.c_str());
      return 2;
    }
  }
  const std::size_t accounts = dir.accounts.size();

  asio::error_code ec;
  const asio::ip::address address = asio::ip::make_address(bind, ec);
  if (ec) {
    std::fprintf(stderr, "kelvo-server: bad bind address '%s'\n", bind.c_str());
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  // One descriptor per connection: take all the system allows, up to what
  // a crowd of a few hundred thousand would need (the usual soft limit of
  // 1024 would stop at about a thousand clients). Where it ends is logged,
  // and again with the accept that runs into it.
  const rlim_t files = tools::RaiseDescriptorLimit(1u << 20, nullptr);
  g_descriptorLimit = static_cast<unsigned long>(files);
  asio::io_context io;
  std::unique_ptr<Server> server;
  try {
    server = std::make_unique<Server>(io, tcp::endpoint(address, static_cast<uint16_t>(port)),
                                      static_cast<unsigned>(addresses - 1), std::move(dir),
                                      verbosity, tls);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvo-server: cannot listen on %s:%lu: %s\n", bind.c_str(), port,
                 e.what());
    return 1;
  }
  if (chaos) {
    auto plan = std::make_unique<ChaosPlan>(chaosSeed, chaosShare, chaosKinds, tls != nullptr);
    if (plan->kinds().empty()) {
      std::fprintf(stderr, "kelvo-server: --chaos-only tls-noclose needs --tls-cert\n");
      return 2;
    }
    std::string names;
    for (ChaosKind k : plan->kinds()) {
      names += std::string(names.empty() ? "" : ",") + ChaosKindName(k);
    }
    LogLine("chaos: seed " + std::to_string(chaosSeed) + ", share " + std::to_string(chaosShare) +
            ", faults " + names);
    server->SetChaos(std::move(plan));
  }
  server->Accept();

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code& e, int sig) {
    if (e) return;
    LogLine("signal " + std::to_string(sig) + ", stopping");
    server->Stop();
    io.stop();
  });

  // A renewed certificate without a restart: the files are read again, and
  // a pair that does not load leaves the current one in place.
  asio::signal_set reload(io);
  std::function<void()> awaitReload = [&] {
    reload.async_wait([&](const asio::error_code& e, int) {
      if (e) return;
      std::string error;
      if (std::shared_ptr<TlsContext> fresh = TlsContext::Load(tlsCert, tlsKey, &error)) {
        server->SetTls(std::move(fresh));
        LogLine("SIGHUP: TLS certificate and key reloaded");
      } else {
        LogLine("SIGHUP: TLS reload failed, keeping the current certificate: " + error);
      }
      awaitReload();
    });
  };
  if (tls) {
    reload.add(SIGHUP);
    awaitReload();
  }

  if (admin) {
    // Blocking reads on stdin stay off the io_context's thread; each line is
    // handed over and run there. At end of input the console just stops.
    std::thread([&io, &server] {
      std::string line;
      while (std::getline(std::cin, line)) {
        asio::post(io, [&io, &server, line] {
          std::string reply;
          if (line == "chaos") {
            // What the faults have done so far; not a command of the state.
            std::printf("%s\n", server->chaos() ? server->chaosCounts().Line().c_str()
                                                 : "chaos: off");
            std::fflush(stdout);
            return;
          }
          const AdminOutcome outcome = RunAdminCommand(server->state(), line, &reply);
          if (!reply.empty()) std::printf("%s\n", reply.c_str());
          std::fflush(stdout);
          if (outcome == AdminOutcome::kQuit) {
            LogLine("quit from the console, stopping");
            server->Stop();
            io.stop();
          }
        });
      }
      LogLine("admin console: end of input");
    }).detach();
  }

  const tcp::endpoint local = server->local_endpoint();
  LogLine(std::to_string(accounts) + " account(s) loaded");
  if (tls) LogLine("TLS only, certificate " + tlsCert);
  std::printf("listening on %s:%u\n", local.address().to_string().c_str(),
              static_cast<unsigned>(local.port()));
  if (server->listeners() > 1) {
    std::printf("also listening on %s%s%s, port %u\n",
                server->endpoint(1).address().to_string().c_str(),
                server->listeners() > 2 ? " to " : "",
                server->listeners() > 2
                    ? server->endpoint(server->listeners() - 1).address().to_string().c_str()
                    : "",
                static_cast<unsigned>(local.port()));
  }
  LogLine("descriptor limit " + std::to_string(files) + " (about as many connections)");
  std::fflush(stdout);

  io.run();
  // On a signal, `quit` or the end of the loop alike: what the faults did.
  if (server->chaos()) LogLine(server->chaosCounts().Line());
  std::fflush(stdout);
  std::fflush(stderr);
  // The console thread may still be blocked reading stdin and holds
  // references to io and server; leave without running their destructors.
  if (admin) _exit(0);
  return 0;
}

}  // namespace
}  // namespace server
}  // namespace kelvo

int main(int argc, char** argv) { return kelvo::server::Run(argc, argv); }
