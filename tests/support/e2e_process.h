// Child processes for the end-to-end tests: the messaging server, a SOCKS5
// proxy and the CLI host, each started fresh on a free loopback port and
// always ended when the handle goes. Every wait here is bounded.
#ifndef KELVO_TESTS_SUPPORT_E2E_PROCESS_H_
#define KELVO_TESTS_SUPPORT_E2E_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo {
namespace e2e {

using Millis = std::chrono::milliseconds;

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] with the given arguments. With `pipeStdin`, the child's
  // stdin is a pipe fed by Write; its stdout is always a pipe read by
  // ReadLine / ReadAll; stderr goes to the same pipe when `mergeStderr`.
  bool Start(const std::vector<std::string>& argv, bool pipeStdin, bool mergeStderr,
             std::string* error);
  // The next line of stdout without its newline; false on end of output or
  // timeout.
  bool ReadLine(std::string* line, Millis timeout);
  // Everything left on stdout until the child closes it, within `timeout`.
  std::string ReadAll(Millis timeout);
  bool Write(const std::string& text);
  void CloseStdin();
  // Exit status, or -1 when the child did not end within `timeout` (it is
  // then killed), or 128+N when it died of signal N.
  int Wait(Millis timeout);
  void Kill();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
  int status_ = -1;
};

// A port on 127.0.0.1 that nothing listened on a moment ago.
uint16_t FreeLoopbackPort();
// True once something accepts TCP connections on 127.0.0.1:port.
bool WaitUntilListening(uint16_t port, Millis timeout);

class ServerProcess {
 public:
  // Starts `path --port 0 --admin-stdin` and reads the listening line.
  bool Start(const std::string& path, std::string* error);
  uint16_t port() const { return port_; }
  // One admin command; the server's answer is not read.
  bool Admin(const std::string& command) { return process_.Write(command + "\n"); }

 private:
  ChildProcess process_;
  uint16_t port_ = 0;
};

class ProxyProcess {
 public:
  static constexpr const char* kPath = "/usr/bin/microsocks";
  static bool Available();
  bool Start(std::string* error);
  uint16_t port() const { return port_; }
  void Stop() { process_.Kill(); }

 private:
  ChildProcess process_;
  uint16_t port_ = 0;
};

}  // namespace e2e
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_E2E_PROCESS_H_
