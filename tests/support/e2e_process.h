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
  // Starts `path --port 0 --admin-stdin [extra...]` and reads the listening
  // line. With `logToPipe` its log comes through the same pipe for
  // WaitForLog; read it, or a long run fills the pipe and stalls the server.
  bool Start(const std::string& path, std::string* error,
             const std::vector<std::string>& extra = {}, bool logToPipe = false);
  uint16_t port() const { return port_; }
  pid_t pid() const { return process_.pid(); }
  // One admin command; the server's answer is not read.
  bool Admin(const std::string& command) { return process_.Write(command + "\n"); }
  // The next line of output holding `text` (started with logToPipe).
  bool WaitForLog(const std::string& text, Millis timeout);

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

// A TLS terminator from Debian's packages in front of a clear-text server:
// stunnel4, or nginx with its stream module, listening on a free 127.0.0.1
// port with the configuration the host guide gives (the paths and ports
// changed, and what running outside a service needs: foreground, no pid file
// in /run, the log on stderr).
class TerminatorProcess {
 public:
  enum class Kind { kStunnel, kNginx };
  static const char* Name(Kind kind);
  // "" when the terminator can be started here; otherwise what is missing.
  static std::string Missing(Kind kind);
  // Serves certFile/keyFile (PEM) on a fresh port and passes the clear
  // stream to 127.0.0.1:serverPort. `workDir` receives its configuration.
  bool Start(Kind kind, uint16_t serverPort, const std::string& certFile,
             const std::string& keyFile, const std::string& workDir, std::string* error);
  uint16_t port() const { return port_; }
  pid_t pid() const { return process_.pid(); }
  // Its log so far, for a failure message (ends the terminator).
  std::string StopAndLog();

 private:
  ChildProcess process_;
  uint16_t port_ = 0;
};

}  // namespace e2e
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_E2E_PROCESS_H_
