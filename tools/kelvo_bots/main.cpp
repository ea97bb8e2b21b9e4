// kelvo-bots: load bots for a messaging server. N simulated players, each a
// client object of the module, connect at a steady rate, log in and chat
// with each other; a progress line while they run, a summary at the end.
// The module is loaded at run time, as a game client loads it.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "accounts.h"
#include "churn.h"
#include "host_address.h"
#include "module.h"
#include "swarm.h"

namespace {

using kelvo::tools::ResolveIpv4;

constexpr int kExitUsage = 2;

void PrintUsage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: kelvo-bots --server HOST:PORT [--addresses N] (--seed FILE | --first-id ID\n"
      "                  [--password PATTERN]) [--clients N] [--ramp PER_SECOND]\n"
      "                  [--duration SECONDS] [--chat-rate PER_SECOND] [--proxy HOST:PORT]\n"
      "                  [--max-failures SHARE]\n"
      "                  [--timeout SECONDS] [--drain SECONDS] [--loop-threads N] [--own-threads]\n"
      "                  [--reconnect FIRST_MS,CAP_MS] [--json] [--quiet] [--lib PATH]\n"
      "       kelvo-bots --server HOST:PORT (--seed FILE | --first-id ID [--password PATTERN])\n"
      "                  (--churn CYCLES | --churn-seconds S) [--clients N] [--churn-seed N]\n"
      "                  [--modes LIST] [--ends LIST] [--unload-every N | --no-unload]\n"
      "                  [--tls-ca FILE [--tls-server-name NAME]] [--proxy HOST:PORT]\n"
      "                  [--proxy-user NAME --proxy-password TEXT] [--timeout S] [--chat-wait S]\n"
      "                  [--drop-wait S] [--expect-drops] [--no-release-while-pumping]\n"
      "                  [--hang-seconds S]\n"
      "                  [--max-growth-kib N] [--json] [--quiet] [--lib PATH]\n"
      "       kelvo-bots --first-id ID --clients N [--password PATTERN] --write-seed FILE\n"
      "\n"
      "  --server HOST:PORT    the messaging server\n"
      "  --addresses N         spread the bots over N IPv4 addresses from HOST on (bot i to\n"
      "                        HOST + i %% N; kelvo-server --addresses N listens on them): one\n"
      "                        address runs out of local ports near 28,000 bots\n"
      "  --seed FILE           log in with the user records of a kelvo-server seed file, in order\n"
      "  --first-id ID         log in as ID, ID+1, ... with --password (default \"bot{id}\",\n"
      "                        {id} stands for the account's id)\n"
      "  --clients N           how many bots (default: every seed account, or 100)\n"
      "  --ramp PER_SECOND     bots started per second (default 1000; 0: all at once)\n"
      "  --duration SECONDS    how long the run goes on once every bot has started (default 10)\n"
      "  --chat-rate PER_SECOND  chats each logged-in bot sends to another per second\n"
      "                        (default 0.1; 0: none); each is answered, which gives the round trip\n"
      "  --proxy HOST:PORT     connect through this SOCKS5 proxy\n"
      "  --max-failures SHARE  exit 1 when more than this share of the bots failed: 0.05 or 5%%\n"
      "                        (default 0)\n"
      "  --timeout SECONDS     a bot fails when its login is not answered this long after it\n"
      "                        started to connect (default 10)\n"
      "  --drain SECONDS       how long to wait for answers after the last chat (default 2)\n"
      "  --loop-threads N      threads of the module's shared loop (default: its own choice)\n"
      "  --own-threads         one network thread per client even when the shared loop exists\n"
      "  --reconnect FIRST_MS,CAP_MS  a lost connection is not a failure: the module reconnects\n"
      "                        (delays drawn up to FIRST_MS, doubling to CAP_MS) and logs in\n"
      "                        again; stderr gets \"all N logged in T\" once and \"relogin ID T\"\n"
      "                        per login made again (T: monotonic clock, ns); the run also\n"
      "                        ends once every bot is logged in again after a loss\n"
      "  --json                the summary as one JSON object on stdout\n"
      "  --quiet               no progress lines on stderr\n"
      "  --lib PATH            client module to load (default %s)\n"
      "  --write-seed FILE     write the numbered accounts as a kelvo-server seed file and exit\n"
      "\n"
      "Churn soak: cycles of create, connect, log in, chat to itself, end; --clients of them\n"
      "at once (default 8), each on its own account.\n"
      "  --churn CYCLES        how many cycles (with --churn-seconds: whichever comes first)\n"
      "  --churn-seconds S     how long\n"
      "  --churn-seed N        the seed each cycle's plan is drawn from (default 1)\n"
      "  --modes LIST          own, shared, pump, shared-pump (default all)\n"
      "  --ends LIST           close, release, callback-release, server (default the first three;\n"
      "                        server waits --drop-wait S (default 3) for the server to drop it)\n"
      "  --unload-every N      unload the module and load it again every N cycles (default 1000)\n"
      "  --no-unload           never unload it\n"
      "  --tls-ca FILE         TLS, the server's certificate verified against FILE, for the\n"
      "                        name --tls-server-name (default im.kelvo.test)\n"
      "  --proxy-user NAME, --proxy-password TEXT  the SOCKS5 proxy's credentials\n"
      "  --chat-wait S         how long to wait for the chats' echoes (default 2)\n"
      "  --expect-drops        a connection the server does not drop is a problem\n"
      "  --no-release-while-pumping  shared-pump clients are closed and released only while\n"
      "                        the shared loop is not being pumped, and never in a callback\n"
      "  --hang-seconds S      a host call that has not returned after S seconds is a hang\n"
      "                        (default 30): reported at once, exit status 1\n"
      "  -v, --verbose         a line per cycle on stderr: its plan, how it ended and why\n"
      "  --max-growth-kib N    how far resident memory may grow after the first tenth of the\n"
      "                        cycles, in KiB (default 1024)\n"
      "\n"
      "Exit status: 0, 1 when too many bots failed (churn: when a check failed), 2 for a bad\n"
      "command line or setup.\n",
      KELVO_DEFAULT_MODULE);
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > max) return false;
  *out = value;
  return true;
}

bool ParseNonNegative(const std::string& text, double* out) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0) {
    return false;
  }
  *out = value;
  return true;
}

// "0.05" or "5%".
bool ParseShare(std::string text, double* out) {
  const bool percent = !text.empty() && text.back() == '%';
  if (percent) text.pop_back();
  double value = 0;
  if (!ParseNonNegative(text, &value)) return false;
  if (percent) value /= 100;
  if (value > 1) return false;
  *out = value;
  return true;
}

bool ParseEndpoint(const std::string& text, kelvo_bots::Endpoint* out) {
  const std::size_t colon = text.rfind(':');
  uint64_t value = 0;
  if (colon == std::string::npos || !ParseUnsigned(text.substr(colon + 1), 65535, &value)) {
    return false;
  }
  return kelvo_bots::ParseEndpoint(text, out, static_cast<uint16_t>(value));
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "kelvo-bots: %s\n", message.c_str());
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  kelvo_bots::Options options;
  options.libraryPath = KELVO_DEFAULT_MODULE;
  kelvo_bots::ChurnOptions churn;
  bool churning = false;
  std::string modes = "all", ends = "close,release,callback-release";
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i];
    const bool plain = word.find_first_of(" '\"$\\") == std::string::npos && !word.empty();
    churn.commandLine += (i == 0 ? "" : " ") + (plain ? word : "'" + word + "'");
  }
  std::string seedPath, writeSeedPath, password = "bot{id}";
  uint64_t firstId = 0, clients = 0, loopThreads = 0;
  bool haveFirstId = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string v;
    auto value = [&] {
      if (i + 1 >= argc) return false;
      v = argv[++i];
      return true;
    };
    bool ok = true;
    if (arg == "-h" || arg == "--help") {
      PrintUsage(stdout);
      return 0;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
    } else if (arg == "--own-threads") {
      options.ownThreads = true;
    } else if (arg == "--no-unload") {
      churn.unloadEvery = 0;
    } else if (arg == "--expect-drops") {
      churn.expectDrops = true;
    } else if (arg == "-v" || arg == "--verbose") {
      churn.verbose = true;
    } else if (arg == "--no-release-while-pumping") {
      churn.releaseApartFromPump = true;
    } else if (!value()) {
      ok = false;
    } else if (arg == "--server") {
      options.serverText = v;
      ok = ParseEndpoint(v, &options.server);
    } else if (arg == "--addresses") {
      char* end = nullptr;
      const unsigned long n = std::strtoul(v.c_str(), &end, 10);
      ok = !v.empty() && *end == '\0' && n >= 1 && n <= 250;
      options.addresses = static_cast<uint32_t>(n);
    } else if (arg == "--proxy") {
      options.proxyText = v;
      ok = ParseEndpoint(v, &options.proxy);
    } else if (arg == "--seed") {
      seedPath = v;
    } else if (arg == "--first-id") {
      ok = ParseUnsigned(v, 0xFFFFFFFFull, &firstId) && firstId != 0;
      haveFirstId = true;
    } else if (arg == "--password") {
      password = v;
    } else if (arg == "--clients") {
      ok = ParseUnsigned(v, 1000000, &clients) && clients != 0;
    } else if (arg == "--ramp") {
      ok = ParseNonNegative(v, &options.ramp);
    } else if (arg == "--duration") {
      ok = ParseNonNegative(v, &options.duration);
    } else if (arg == "--chat-rate") {
      ok = ParseNonNegative(v, &options.chatRate);
    } else if (arg == "--timeout") {
      ok = ParseNonNegative(v, &options.timeout) && options.timeout > 0;
    } else if (arg == "--drain") {
      ok = ParseNonNegative(v, &options.drain);
    } else if (arg == "--max-failures") {
      ok = ParseShare(v, &options.maxFailures);
    } else if (arg == "--loop-threads") {
      ok = ParseUnsigned(v, 64, &loopThreads);
    } else if (arg == "--reconnect") {
      const std::size_t comma = v.find(',');
      uint64_t first = 0, cap = 0;
      ok = comma != std::string::npos && ParseUnsigned(v.substr(0, comma), 0xFFFFFFFFull, &first) &&
           ParseUnsigned(v.substr(comma + 1), 0xFFFFFFFFull, &cap) && first != 0 && cap >= first;
      options.reconnectFirstMs = static_cast<uint32_t>(first);
      options.reconnectCapMs = static_cast<uint32_t>(cap);
    } else if (arg == "--lib") {
      options.libraryPath = v;
    } else if (arg == "--write-seed") {
      writeSeedPath = v;
    } else if (arg == "--churn") {
      ok = ParseUnsigned(v, 4000000000ull, &churn.cycles) && churn.cycles != 0;
      churning = true;
    } else if (arg == "--churn-seconds") {
      ok = ParseNonNegative(v, &churn.seconds) && churn.seconds > 0;
      churning = true;
    } else if (arg == "--churn-seed") {
      ok = ParseUnsigned(v, 0xFFFFFFFFull, &churn.seed);
    } else if (arg == "--modes") {
      modes = v;
    } else if (arg == "--ends") {
      ends = v;
    } else if (arg == "--unload-every") {
      ok = ParseUnsigned(v, 4000000000ull, &churn.unloadEvery);
    } else if (arg == "--tls-ca") {
      churn.tlsCa = v;
    } else if (arg == "--tls-server-name") {
      churn.tlsServerName = v;
    } else if (arg == "--proxy-user") {
      churn.proxyUser = v;
    } else if (arg == "--proxy-password") {
      churn.proxyPassword = v;
    } else if (arg == "--chat-wait") {
      ok = ParseNonNegative(v, &churn.chatWait);
    } else if (arg == "--drop-wait") {
      ok = ParseNonNegative(v, &churn.dropWait);
    } else if (arg == "--hang-seconds") {
      ok = ParseNonNegative(v, &churn.hangSeconds) && churn.hangSeconds > 0;
    } else if (arg == "--max-growth-kib") {
      uint64_t kib = 0;
      ok = ParseUnsigned(v, 1000000000ull, &kib);
      churn.maxGrowthKib = static_cast<long>(kib);
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "kelvo-bots: bad argument: %s%s%s\n", arg.c_str(),
                   v.empty() ? "" : " ", v.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
  }
  options.loopThreads = static_cast<uint32_t>(loopThreads);

  std::vector<kelvo_bots::Account> accounts;
  std::string error;
  if (haveFirstId == !seedPath.empty()) return Fail("give either --seed or --first-id");
  if (churning && clients == 0) clients = 8;
  if (haveFirstId) {
    if (clients == 0) clients = 100;
    if (!kelvo_bots::NumberedAccounts(static_cast<uint32_t>(firstId),
                                      static_cast<uint32_t>(clients), password, &accounts,
                                      &error)) {
      return Fail(error);
    }
  } else {
    std::ifstream file(seedPath, std::ios::binary);
    if (!file) return Fail("cannot read seed file " + seedPath);
    std::stringstream text;
    text << file.rdbuf();
    if (!kelvo_bots::ParseSeedAccounts(text.str(), &accounts, &error)) {
      return Fail(seedPath + ": " + error);
    }
    if (clients == 0) clients = accounts.size();
    if (clients > accounts.size()) {
      return Fail(seedPath + " has " + std::to_string(accounts.size()) + " accounts for " +
                  std::to_string(clients) + " clients");
    }
  }
  options.clients = static_cast<uint32_t>(clients);

  if (!writeSeedPath.empty()) {
    if (!haveFirstId) return Fail("--write-seed writes the accounts of --first-id");
    std::ofstream out(writeSeedPath, std::ios::binary | std::ios::trunc);
    out << kelvo_bots::SeedText(accounts);
    if (!out.flush()) return Fail("cannot write " + writeSeedPath);
    std::fprintf(stderr, "kelvo-bots: wrote %zu accounts to %s\n", accounts.size(),
                 writeSeedPath.c_str());
    return 0;
  }
  if (options.serverText.empty()) return Fail("--server HOST:PORT is missing");
  if (churning) {
    churn.libraryPath = options.libraryPath;
    churn.serverText = options.serverText;
    churn.server = options.server;
    churn.proxy = options.proxy;
    churn.slots = options.clients;
    churn.timeout = options.timeout;
    churn.json = options.json;
    churn.quiet = options.quiet;
    if (!kelvo_bots::ParseChurnModes(modes, &churn.modes, &error)) return Fail("--modes: " + error);
    if (!kelvo_bots::ParseChurnEnds(ends, &churn.ends, &error)) return Fail("--ends: " + error);
    if (churn.proxyUser.empty() != churn.proxyPassword.empty()) {
      return Fail("--proxy-user and --proxy-password go together");
    }
    return kelvo_bots::RunChurn(churn, accounts);
  }

  kelvo_cli::Module module;
  if (!module.Load(options.libraryPath, &error)) {
    return Fail("cannot load " + options.libraryPath + ": " + error);
  }
  // Every client is released inside RunSwarm, before the module goes.
  return kelvo_bots::RunSwarm(options, accounts, module.create());
}
