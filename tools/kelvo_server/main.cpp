// kelvo-server: the messaging server on TCP. One thread runs the io_context;
// the protocol logic lives in ServerState, this file only moves bytes.
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
#include "nimbo2/msg_head.h"
#include "protocol/message_ids.h"
#include "seed.h"
#include "server_state.h"

namespace kelvo {
namespace server {
namespace {

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
  Connection(Server& server, tcp::socket socket, SessionId id)
      : server_(server), socket_(std::move(socket)), id_(id) {}

  void Start() { ReadHeader(); }
  void Send(Bytes message);
  void Close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
  }

 private:
  void ReadHeader();
  void ReadBody(std::size_t size);
  void WriteNext();

  Server& server_;
  tcp::socket socket_;
  SessionId id_;
  // The longest request is 279 bytes; the header decides how much is read.
  std::array<uint8_t, 512> buffer_{};
  // A list allocates nothing until a message waits; a deque takes 576
  // bytes up front, for every idle connection.
  std::list<Bytes> queue_;
  bool closed_ = false;
};

class Server : public Outlet {
 public:
  Server(asio::io_context& io, tcp::endpoint endpoint, Directory dir, int verbosity)
      : acceptor_(io), acceptPause_(io), state_(std::move(dir), *this), verbosity_(verbosity) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
  }

  tcp::endpoint local_endpoint() const { return acceptor_.local_endpoint(); }
  ServerState& state() { return state_; }

  void Accept() {
    acceptor_.async_accept([this](const asio::error_code& ec, tcp::socket socket) {
      if (ec) {
        if (ec == asio::error::operation_aborted) return;
        if (OutOfResources(ec)) {
          // The waiting connection stays in the backlog and the listening
          // socket stays readable: accepting again at once would spin. Try
          // again a little later, when a connection may have gone.
          if (!acceptStalled_) LogLine("accept failed: " + ec.message() + "; retrying every 100 ms");
          acceptStalled_ = true;
          acceptPause_.expires_after(std::chrono::milliseconds(100));
          acceptPause_.async_wait([this](const asio::error_code& e) {
            if (!e) Accept();
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
        auto conn = std::make_shared<Connection>(*this, std::move(socket), id);
        connections_[id] = conn;
        state_.Connect(id, where.str());
        conn->Start();
      }
      Accept();
    });
  }

  void Stop() {
    asio::error_code ec;
    acceptor_.close(ec);
    acceptPause_.cancel();
    for (auto& [id, conn] : connections_) conn->Close();
    connections_.clear();
  }

  // The socket went away (peer closed, read or write error).
  void Lost(SessionId id) {
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

  tcp::acceptor acceptor_;
  asio::steady_timer acceptPause_;
  bool acceptStalled_ = false;
  ServerState state_;
  int verbosity_;
  SessionId next_ = 1;
  std::map<SessionId, std::shared_ptr<Connection>> connections_;
};

void Connection::Send(Bytes message) {
  if (closed_) return;
  queue_.push_back(std::move(message));
  if (queue_.size() == 1) WriteNext();
}

void Connection::WriteNext() {
  auto self = shared_from_this();
  asio::async_write(socket_, asio::buffer(queue_.front()),
                    [this, self](const asio::error_code& ec, std::size_t) {
                      if (closed_) return;
                      if (ec) {
                        server_.Lost(id_);
                        return;
                      }
                      queue_.pop_front();
                      if (!queue_.empty()) WriteNext();
                    });
}

void Connection::ReadHeader() {
  auto self = shared_from_this();
  asio::async_read(socket_, asio::buffer(buffer_.data(), kHeaderSize),
                   [this, self](const asio::error_code& ec, std::size_t) {
                     if (closed_) return;
                     if (ec) {
                       server_.Lost(id_);
                       return;
                     }
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
  asio::async_read(socket_, asio::buffer(buffer_.data() + kHeaderSize, size - kHeaderSize),
                   [this, self, size](const asio::error_code& ec, std::size_t) {
                     if (closed_) return;
                     if (ec) {
                       server_.Lost(id_);
                       return;
                     }
                     server_.state().HandleRequest(id_, buffer_.data(), size);
                     if (!closed_) ReadHeader();
                   });
}

void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: kelvo-server [--bind 127.0.0.1] [--port N] [--seed FILE] [-v|-vv] "
               "[--admin-stdin]\n");
}

int Run(int argc, char** argv) {
  std::string bind = "127.0.0.1";
  unsigned long port = 0;
  std::string seedPath;
  int verbosity = 0;
  bool admin = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--bind" && value(&bind)) {
    } else if (arg == "--port" && value(&v)) {
      char* end = nullptr;
      port = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || port > 65535) {
        std::fprintf(stderr, "kelvo-server: bad port '%s'\n", v.c_str());
        return 2;
      }
    } else if (arg == "--seed" && value(&seedPath)) {
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
  // One descriptor per connection: take all the system allows (the usual
  // soft limit of 1024 would stop at about a thousand clients).
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  asio::io_context io;
  std::unique_ptr<Server> server;
  try {
    server = std::make_unique<Server>(io, tcp::endpoint(address, static_cast<uint16_t>(port)),
                                      std::move(dir), verbosity);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvo-server: cannot listen on %s:%lu: %s\n", bind.c_str(), port,
                 e.what());
    return 1;
  }
  server->Accept();

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code& e, int sig) {
    if (e) return;
    LogLine("signal " + std::to_string(sig) + ", stopping");
    server->Stop();
    io.stop();
  });

  if (admin) {
    // Blocking reads on stdin stay off the io_context's thread; each line is
    // handed over and run there. At end of input the console just stops.
    std::thread([&io, &server] {
      std::string line;
      while (std::getline(std::cin, line)) {
        asio::post(io, [&io, &server, line] {
          std::string reply;
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
  std::printf("listening on %s:%u\n", local.address().to_string().c_str(),
              static_cast<unsigned>(local.port()));
  std::fflush(stdout);

  io.run();
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
