// kelvo-cli: a small host for the client module. It loads the module at run
// time and drives one client object exactly as a game client would, printing
// every event it receives, one line each. Interactive on a terminal; from
// stdin or --script FILE otherwise, where `wait` turns a session into a
// checked scenario (exit status 0 only when every wait was satisfied).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <poll.h>
#include <unistd.h>
#endif

#if defined(KELVO_HAVE_READLINE)
#include <readline/history.h>
#include <readline/readline.h>
#endif

#include "commands.h"
#include "kelvo/im_client_pump.h"
#include "console.h"
#include "host_sink.h"
#include "module.h"
#include "security.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: kelvo-cli [--lib PATH] [--script FILE] [--record FILE] [--pump]\n"
               "                 [--tls --tls-server-name NAME [--tls-ca FILE | --tls-pin HEX]]\n"
               "                 [--proxy-user USER --proxy-password PASSWORD]\n"
               "  --lib PATH     client module to load (default %s)\n"
               "  --script FILE  run the commands in FILE, then exit\n"
               "  --record FILE  record every inbound message into FILE (kelvo-replay plays it)\n"
               "  --pump         run every event on the main thread, pumped between commands\n"
               "                 and while waiting (IImClientPump), as a game loop would\n"
               "  --tls          connect with TLS (IImClientSecurity); the certificate is always\n"
               "                 verified, by default against the system's certificate store\n"
               "  --tls-server-name NAME  the name the certificate must carry (sent as SNI)\n"
               "  --tls-ca FILE  trust only the certificates of this PEM file\n"
               "  --tls-pin HEX  trust only the server key whose SHA-256 (of its\n"
               "                 SubjectPublicKeyInfo) is these 64 hex digits\n"
               "  --proxy-user USER, --proxy-password PASSWORD\n"
               "                 the username and password a SOCKS5 proxy asks for\n"
               "Without --script, commands come from stdin (interactive on a terminal).\n\n%s",
               KELVO_DEFAULT_MODULE, kelvo_cli::Session::Help());
}

// Runs lines from a stream. Returns the exit status.
int RunStream(std::istream& in, kelvo_cli::Console& console, kelvo_cli::Session& session) {
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::string expanded, missing;
    if (!kelvo_cli::ExpandVariables(line.substr(first), &expanded, &missing)) {
      console.Note("! " + line.substr(first));
      console.Note("! the environment variable " + missing + " is not set");
      return kExitFailed;
    }
    console.Note("> " + expanded);
    const kelvo_cli::Outcome outcome = session.Execute(expanded);
    console.Idle();
    switch (outcome) {
      case kelvo_cli::Outcome::kContinue: break;
      case kelvo_cli::Outcome::kQuit: return 0;
      case kelvo_cli::Outcome::kFailed: return kExitFailed;
    }
  }
  return 0;
}

#if defined(KELVO_HAVE_READLINE)
std::optional<std::string> g_typed;
bool g_endOfInput = false;

void OnLine(char* line) {
  if (line == nullptr) {
    g_endOfInput = true;
    return;
  }
  if (*line != '\0') add_history(line);
  g_typed = line;
  std::free(line);
}

// readline's callback interface, so that events can be printed around the
// line being typed. The console lock is held while readline runs and
// released before a command runs: a command takes the client's lock, and an
// event being delivered holds the client's lock while it waits for the
// console's.
int RunInteractive(kelvo_cli::Console& console, kelvo_cli::Session& session) {
  {
    std::lock_guard<std::mutex> lock(console.mutex());
    rl_callback_handler_install("kelvo> ", OnLine);
    console.SetPromptActive(true);
  }
  bool quit = false;
  while (!quit && !g_endOfInput) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    // Pump mode: events show up only when pumped, so look often.
    const int ready = poll(&in, 1, console.Pumping() ? 20 : 200);
    console.Idle();
    if (ready <= 0) continue;
    {
      std::lock_guard<std::mutex> lock(console.mutex());
      rl_callback_read_char();
    }
    if (g_typed) {
      const std::string line = *g_typed;
      g_typed.reset();
      quit = session.Execute(line) == kelvo_cli::Outcome::kQuit;
    }
  }
  std::lock_guard<std::mutex> lock(console.mutex());
  console.SetPromptActive(false);
  rl_callback_handler_remove();
  std::printf("\n");
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::string libraryPath = KELVO_DEFAULT_MODULE;
  std::string scriptPath;
  std::string recordPath;
  bool pumpMode = false;
  kelvo_cli::SecurityOptions security;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--tls") {
      security.tls = true;
    } else if (arg == "--tls-server-name" && hasValue) {
      security.serverName = argv[++i];
    } else if (arg == "--tls-ca" && hasValue) {
      security.caFile = argv[++i];
    } else if (arg == "--tls-pin" && hasValue) {
      security.pinHex = argv[++i];
    } else if ((arg == "--proxy-user" || arg == "--proxy-password") && hasValue) {
      (arg == "--proxy-user" ? security.proxyUser : security.proxyPassword) = argv[++i];
      security.proxyCredentials = true;
    } else if ((arg == "--lib" || arg == "--script") && i + 1 < argc) {
      (arg == "--lib" ? libraryPath : scriptPath) = argv[++i];
    } else if (arg == "--record" && i + 1 < argc) {
      recordPath = argv[++i];
    } else if (arg == "--pump") {
      pumpMode = true;
    } else if (arg == "-h" || arg == "--help") {
      PrintUsage(stdout);
      return 0;
    } else {
      PrintUsage(stderr);
      return kExitUsage;
    }
  }

  std::string securityError;
  if (!kelvo_cli::CheckSecurityOptions(security, &securityError)) {
    std::fprintf(stderr, "kelvo-cli: %s\n", securityError.c_str());
    return kExitUsage;
  }

  std::ifstream script;
  if (!scriptPath.empty()) {
    script.open(scriptPath);
    if (!script) {
      std::fprintf(stderr, "kelvo-cli: cannot open script %s\n", scriptPath.c_str());
      return kExitUsage;
    }
  }

  // The network library inside the module records when this variable is
  // set as the client is created.
  if (!recordPath.empty()) {
#if defined(_WIN32)
    _putenv_s("KELVO_RECORD", recordPath.c_str());
#else
    setenv("KELVO_RECORD", recordPath.c_str(), 1);
#endif
  }

  kelvo_cli::Module module;
  std::string error;
  if (!module.Load(libraryPath, &error)) {
    std::fprintf(stderr, "kelvo-cli: cannot load %s: %s\n", libraryPath.c_str(), error.c_str());
    return kExitUsage;
  }
  auto* client = static_cast<kelvo::IImClient*>(
      module.create()(&kelvo::IID_IImClient, kelvo::IM_INTERFACE_VERSION));
  if (client == nullptr) {
    std::fprintf(stderr, "kelvo-cli: the module refused interface version %08X\n",
                 kelvo::IM_INTERFACE_VERSION);
    return kExitUsage;
  }

  // Before anything can connect: a TLS that cannot be set up ends the run.
  if (security.Any() && !kelvo_cli::ApplySecurity(client, security, &securityError)) {
    std::fprintf(stderr, "kelvo-cli: %s\n", securityError.c_str());
    client->Release();
    return kExitFailed;
  }

  kelvo_cli::Console console(stdout);
  if (pumpMode) {
    auto* pump = static_cast<kelvo::IImClientPump*>(
        client->QueryInterface(kelvo::IID_IImClientPump, kelvo::IM_PUMP_INTERFACE_VERSION));
    if (pump == nullptr || !pump->SetDeliveryMode(kelvo::KELVO_DELIVERY_PUMP)) {
      std::fprintf(stderr, "kelvo-cli: the module offers no pump mode\n");
      client->Release();
      return kExitUsage;
    }
    console.SetPump([pump](std::chrono::milliseconds wait) {
      if (wait.count() > 0) pump->WaitForEvents(static_cast<uint32_t>(wait.count()));
      pump->Pump(1024);
    });
  }
  kelvo_cli::HostSink sink(console);
  sink.SetClient(client);
  if (!client->SetSink(&sink)) {
    std::fprintf(stderr, "kelvo-cli: the client did not take the callback object\n");
    client->Release();
    return kExitUsage;
  }
  kelvo_cli::Session session(console, sink, client);

  int status = 0;
  if (!scriptPath.empty()) {
    status = RunStream(script, console, session);
  } else {
#if defined(KELVO_HAVE_READLINE)
    if (isatty(fileno(stdin))) {
      status = RunInteractive(console, session);
    } else {
      status = RunStream(std::cin, console, session);
    }
#else
    status = RunStream(std::cin, console, session);
#endif
  }
  // No sink call is made once Release returns, so the sink and the console
  // may go after it; the module is unloaded last.
  client->Release();
  return status;
}
