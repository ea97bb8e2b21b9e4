#include "support/e2e_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace kelvo {
namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

ChildProcess::~ChildProcess() {
  Kill();
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, bool pipeStdin, bool mergeStderr,
                         std::string* error) {
  Kill();
  CloseStdin();
  if (out_ >= 0) close(out_);
  out_ = -1;
  buffered_.clear();
  int inPipe[2] = {-1, -1};
  int outPipe[2] = {-1, -1};
  if ((pipeStdin && pipe2(inPipe, O_CLOEXEC) != 0) || pipe2(outPipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipeStdin) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  if (mergeStderr) posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (pipeStdin) close(inPipe[0]);
  close(outPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  if (rc != 0) {
    pid_ = -1;
    *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return false;
  }
  return true;
}

bool ChildProcess::ReadLine(std::string* line, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const std::size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      *line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return true;
    }
    pollfd p{out_, POLLIN, 0};
    if (out_ < 0 || poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
    char chunk[4096];
    const ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string ChildProcess::ReadAll(Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string all;
  all.swap(buffered_);
  while (out_ >= 0) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, RemainingMs(deadline)) <= 0) break;
    char chunk[4096];
    const ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) break;
    all.append(chunk, static_cast<std::size_t>(n));
  }
  return all;
}

bool ChildProcess::Write(const std::string& text) {
  if (in_ < 0) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(in_, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void ChildProcess::CloseStdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

int ChildProcess::Wait(Millis timeout) {
  if (pid_ < 0) return status_;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (Clock::now() >= deadline) {
      Kill();
      return -1;
    }
    std::this_thread::sleep_for(Millis(10));
  }
}

void ChildProcess::Kill() {
  if (pid_ < 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  status_ = -1;
}

uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool WaitUntilListening(uint16_t port, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  do {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(Millis(20));
  } while (Clock::now() < deadline);
  return false;
}

bool ServerProcess::Start(const std::string& path, std::string* error,
                          const std::vector<std::string>& extra, bool logToPipe) {
  std::vector<std::string> argv = {path, "--port", "0", "--admin-stdin"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!process_.Start(argv, true, logToPipe, error)) return false;
  std::string line;
  const std::string prefix = "listening on 127.0.0.1:";
  const auto deadline = std::chrono::steady_clock::now() + Millis(10000);
  do {
    if (!process_.ReadLine(&line, std::chrono::duration_cast<Millis>(
                                      deadline - std::chrono::steady_clock::now()))) {
      *error = "the server did not report its port (last line: \"" + line + "\")";
      return false;
    }
  } while (line.compare(0, prefix.size(), prefix) != 0);
  port_ = static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));
  return port_ != 0;
}

bool ServerProcess::WaitForLog(const std::string& text, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string line;
  while (process_.ReadLine(&line, Millis(RemainingMs(deadline)))) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

bool ProxyProcess::Available() { return access(kPath, X_OK) == 0; }

bool ProxyProcess::Start(std::string* error) {
  // Another process may take the port between the probe and the start; a
  // second attempt on a fresh port covers that rare race.
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreeLoopbackPort();
    if (!process_.Start({kPath, "-i", "127.0.0.1", "-p", std::to_string(port_)}, false, true,
                        error)) {
      return false;
    }
    if (WaitUntilListening(port_, Millis(3000))) return true;
    process_.Kill();
  }
  *error = "microsocks did not start listening";
  return false;
}

namespace {

constexpr char kStunnel[] = "/usr/bin/stunnel4";
constexpr char kNginx[] = "/usr/sbin/nginx";
constexpr char kNginxStream[] = "/usr/lib/nginx/modules/ngx_stream_module.so";

std::string StunnelConfig(uint16_t port, uint16_t serverPort, const std::string& cert,
                          const std::string& key) {
  return "foreground = yes\n"
         "pid =\n"
         "[kelvo]\n"
         "accept = 127.0.0.1:" + std::to_string(port) + "\n"
         "connect = 127.0.0.1:" + std::to_string(serverPort) + "\n"
         "cert = " + cert + "\n"
         "key = " + key + "\n"
         "sslVersionMin = TLSv1.2\n"
         "socket = l:TCP_NODELAY=1\n"
         "socket = r:TCP_NODELAY=1\n"
         "TIMEOUTidle = 86400\n";
}

// master_process off: one process, which stays in the foreground as the
// test's child and runs as the user who started it.
std::string NginxConfig(uint16_t port, uint16_t serverPort, const std::string& cert,
                        const std::string& key, const std::string& dir) {
  return std::string("daemon off;\n"
                     "master_process off;\n"
                     "pid ") + dir + "/nginx.pid;\n"
         "error_log stderr notice;\n"
         "load_module " + kNginxStream + ";\n"
         "events { worker_connections 64; }\n"
         "stream {\n"
         "    upstream kelvo_server {\n"
         "        server 127.0.0.1:" + std::to_string(serverPort) + ";\n"
         "    }\n"
         "    server {\n"
         "        listen 127.0.0.1:" + std::to_string(port) + " ssl;\n"
         "        proxy_pass kelvo_server;\n"
         "        ssl_certificate     " + cert + ";\n"
         "        ssl_certificate_key " + key + ";\n"
         "        ssl_protocols       TLSv1.2 TLSv1.3;\n"
         "        ssl_session_tickets off;\n"
         "        proxy_timeout       1d;\n"
         "    }\n"
         "}\n";
}

bool WriteFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

}  // namespace

const char* TerminatorProcess::Name(Kind kind) {
  return kind == Kind::kStunnel ? "stunnel4" : "nginx";
}

std::string TerminatorProcess::Missing(Kind kind) {
  if (kind == Kind::kStunnel) {
    return access(kStunnel, X_OK) == 0 ? "" : std::string(kStunnel) + " (apt-get install stunnel4)";
  }
  if (access(kNginx, X_OK) != 0) return std::string(kNginx) + " (apt-get install nginx)";
  if (access(kNginxStream, R_OK) != 0) {
    return std::string(kNginxStream) + " (apt-get install libnginx-mod-stream)";
  }
  return "";
}

bool TerminatorProcess::Start(Kind kind, uint16_t serverPort, const std::string& certFile,
                              const std::string& keyFile, const std::string& workDir,
                              std::string* error) {
  const std::string config = workDir + "/" + Name(kind) + ".conf";
  // As for the proxy: a port taken between the probe and the start gets a
  // second try on another.
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreeLoopbackPort();
    const bool stunnel = kind == Kind::kStunnel;
    if (!WriteFile(config, stunnel ? StunnelConfig(port_, serverPort, certFile, keyFile)
                                   : NginxConfig(port_, serverPort, certFile, keyFile, workDir))) {
      *error = "cannot write " + config;
      return false;
    }
    const std::vector<std::string> argv =
        stunnel ? std::vector<std::string>{kStunnel, config}
                : std::vector<std::string>{kNginx, "-p", workDir, "-e", "stderr", "-c", config};
    if (!process_.Start(argv, false, true, error)) return false;
    if (WaitUntilListening(port_, Millis(5000))) return true;
    *error = std::string(Name(kind)) + " did not start listening: " + StopAndLog();
  }
  return false;
}

std::string TerminatorProcess::StopAndLog() {
  process_.Kill();
  return process_.ReadAll(Millis(1000));
}

}  // namespace e2e
}  // namespace kelvo
