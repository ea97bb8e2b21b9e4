// What TLS adds to a login: the time from Connect to OnLoginResult(1), with
// and without TLS, against kelvo-server on loopback.
//
// Starts two kelvo-servers (clear text, and --tls-cert/--tls-key with a
// P-256 certificate from a CA made here with the openssl command) and, when
// stunnel4 is installed, stunnel in front of the clear one. Each round
// creates a fresh client object per row, in turn, and times Connect ->
// OnConnect(1) and Connect -> OnLoginResult(1); the client verifies the
// certificate against the CA file, as a shipped game would. Prints the
// median, minimum and maximum of each, and the medians' difference to the
// clear row.
//
//   kelvo_tls_connect [rounds, default 20] [KELVO_SERVER, default this build's]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench_wire.h"
#include "kelvo/im_client_security.h"
#include "kelvo/kelvo_core.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using kelvo::IImClient;
using kelvo::IImClientSecurity;

// MD5("alice"): the demo account's login block.
const uint8_t kAlice[16] = {0x63, 0x84, 0xe2, 0xb2, 0x18, 0x4b, 0xcb, 0xf5,
                            0x8e, 0xcc, 0xf1, 0x0c, 0xa7, 0xa6, 0x56, 0x3c};
const char kName[] = "bench.kelvo.test";

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "kelvo_tls_connect: %s\n", why.c_str());
  std::exit(1);
}

// A child process whose stdout (and stderr) we read; killed at the end.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) Die("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) {
      Die("cannot start " + argv[0]);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    close(out_);
  }
  // The port of the first "listening on 127.0.0.1:N" line, within 10 s.
  uint16_t ListeningPort() {
    std::string seen;
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[512];
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) break;
      seen.append(buf, static_cast<std::size_t>(n));
      const std::size_t at = seen.find("listening on 127.0.0.1:");
      if (at != std::string::npos && seen.find('\n', at) != std::string::npos) {
        return static_cast<uint16_t>(std::atoi(seen.c_str() + at + 23));
      }
    }
    Die("no listening line from the server: " + seen);
  }
  // Reads and drops what the child printed, so that its pipe never fills.
  void Drain() {
    char buf[4096];
    pollfd p{out_, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && read(out_, buf, sizeof buf) > 0) {
    }
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

bool Listening(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return up;
}

uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// Records the two moments a row waits for.
class TimingSink final : public kelvo::bench::NullSink {
 public:
  void KELVO_CALL OnConnect(uint32_t state) override {
    std::lock_guard<std::mutex> lock(mu_);
    connected_ = state == 1 ? 1 : -1;
    connectedAt_ = Clock::now();
    cv_.notify_all();
  }
  void KELVO_CALL OnLoginResult(uint32_t result, const char*) override {
    std::lock_guard<std::mutex> lock(mu_);
    loggedIn_ = result == 1 ? 1 : -1;
    loggedInAt_ = Clock::now();
    cv_.notify_all();
  }
  void KELVO_CALL OnLog(const char* text) override { std::fprintf(stderr, "  log: %s", text); }
  bool WaitConnected(Clock::time_point* at) { return Wait(&connected_, &connectedAt_, at); }
  bool WaitLoggedIn(Clock::time_point* at) { return Wait(&loggedIn_, &loggedInAt_, at); }

 private:
  bool Wait(int* flag, Clock::time_point* when, Clock::time_point* at) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(15), [&] { return *flag != 0; });
    *at = *when;
    return *flag == 1;
  }
  std::mutex mu_;
  std::condition_variable cv_;
  int connected_ = 0, loggedIn_ = 0;
  Clock::time_point connectedAt_, loggedInAt_;
};

struct Row {
  const char* name;
  uint16_t port;
  bool tls;
  std::vector<double> connectMs, loginMs;
};

// One connect and login; false when it did not get there.
bool TimeOnce(Row& row, const std::string& caFile) {
  TimingSink sink;
  auto* client = static_cast<IImClient*>(
      CreateKelvoCore(&kelvo::IID_IImClient, kelvo::IM_INTERFACE_VERSION));
  if (client == nullptr) Die("CreateKelvoCore failed");
  client->SetSink(&sink);
  if (row.tls) {
    auto* sec = static_cast<IImClientSecurity*>(client->QueryInterface(
        kelvo::IID_IImClientSecurity, kelvo::IM_SECURITY_INTERFACE_VERSION));
    if (sec == nullptr || !sec->SetTlsServerName(kName) ||
        !sec->SetTlsTrustCaFile(caFile.c_str()) || !sec->SetTlsMode(kelvo::KELVO_TLS_ON)) {
      Die("the security settings were refused");
    }
  }
  kelvo::ServerAddress address{};
  address.serverIp = 0x7F000001;
  address.serverPort = row.port;
  Clock::time_point connected, loggedIn;
  const Clock::time_point start = Clock::now();
  bool ok = client->Connect(&address) && sink.WaitConnected(&connected) &&
            client->Login(1001, kAlice, nullptr) && sink.WaitLoggedIn(&loggedIn);
  if (ok) {
    row.connectMs.push_back(std::chrono::duration<double, std::milli>(connected - start).count());
    row.loginMs.push_back(std::chrono::duration<double, std::milli>(loggedIn - start).count());
  }
  client->Release();
  return ok;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void Run(const std::string& command, const std::string& dir) {
  const std::string full = "cd '" + dir + "' && " + command + " >/dev/null 2>&1";
  if (std::system(full.c_str()) != 0) Die("failed: " + command);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const std::string server = argc > 2 ? argv[2] : KELVO_SERVER_PATH;
  if (server.empty()) {
    std::fprintf(stderr, "usage: kelvo_tls_connect [rounds] KELVO_SERVER\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);

  char pattern[] = "/tmp/kelvo-tls-bench.XXXXXX";
  if (mkdtemp(pattern) == nullptr) Die("mkdtemp");
  const std::string dir = pattern;
  const std::string p256 = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
  Run("openssl req -x509 " + p256 +
          " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Bench CA'"
          " -addext basicConstraints=critical,CA:TRUE"
          " -addext keyUsage=critical,keyCertSign,cRLSign",
      dir);
  Run("openssl req -new " + p256 + " -keyout server.key -out server.csr -subj /CN=" + kName, dir);
  Run(std::string("printf 'basicConstraints=critical,CA:FALSE\\nextendedKeyUsage=serverAuth\\n"
                  "subjectAltName=DNS:") +
          kName + "\\n' > server.ext",
      dir);
  Run("openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -set_serial 9 -days 2"
      " -extfile server.ext -out server.pem",
      dir);

  Child clear({server, "--port", "0"});
  Child secure({server, "--port", "0", "--tls-cert", dir + "/server.pem", "--tls-key",
                dir + "/server.key"});
  std::vector<Row> rows = {{"clear text", clear.ListeningPort(), false, {}, {}},
                           {"TLS (kelvo-server)", secure.ListeningPort(), true, {}, {}}};
  std::unique_ptr<Child> stunnel;
  if (access("/usr/bin/stunnel4", X_OK) == 0) {
    const uint16_t port = FreePort();
    const std::string config = dir + "/stunnel.conf";
    std::FILE* f = std::fopen(config.c_str(), "w");
    if (f == nullptr) Die("cannot write " + config);
    std::fprintf(f,
                 "foreground = yes\npid =\ndebug = 3\n[kelvo]\naccept = 127.0.0.1:%u\n"
                 "connect = 127.0.0.1:%u\ncert = %s/server.pem\nkey = %s/server.key\n"
                 "sslVersionMin = TLSv1.2\nsocket = l:TCP_NODELAY=1\n"
                 "socket = r:TCP_NODELAY=1\n",
                 unsigned{port}, unsigned{rows[0].port}, dir.c_str(), dir.c_str());
    std::fclose(f);
    stunnel = std::make_unique<Child>(std::vector<std::string>{"/usr/bin/stunnel4", config});
    for (int i = 0; i < 100 && !Listening(port); ++i) usleep(20000);
    if (Listening(port)) rows.push_back({"TLS (stunnel in front)", port, true, {}, {}});
  }

  const std::string caFile = dir + "/ca.pem";
  // Warm-up: the first connection of a process loads what it loads once.
  for (Row& row : rows) {
    if (!TimeOnce(row, caFile)) Die(std::string("warm-up failed: ") + row.name);
    row.connectMs.clear();
    row.loginMs.clear();
  }
  for (int i = 0; i < rounds; ++i) {
    for (Row& row : rows) {
      if (!TimeOnce(row, caFile)) Die(std::string("round failed: ") + row.name);
    }
    clear.Drain();
    secure.Drain();
    if (stunnel) stunnel->Drain();
  }
  Run("rm -rf '" + dir + "'", "/");

  std::printf("Connect -> logged in against kelvo-server on loopback, %d rounds, rows in turn\n",
              rounds);
  std::printf("(ms; TLS: P-256 certificate verified against a CA file, name %s)\n\n", kName);
  std::printf("%-24s %16s %16s %16s %12s\n", "", "to OnConnect(1)", "to logged in", "min..max",
              "vs clear");
  const double base = Median(rows[0].loginMs);
  for (const Row& row : rows) {
    const double login = Median(row.loginMs);
    const auto range = std::minmax_element(row.loginMs.begin(), row.loginMs.end());
    char span[40];
    std::snprintf(span, sizeof span, "%.2f..%.2f", *range.first, *range.second);
    std::printf("%-24s %16.2f %16.2f %16s %+11.2f\n", row.name, Median(row.connectMs), login, span,
                login - base);
  }
  return 0;
}
