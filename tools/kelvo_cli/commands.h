// The CLI's command language: one command per line, run against one client
// object. The same commands serve the interactive prompt, piped input and
// script files; `wait` makes scripts check that the events they expect
// actually arrive.
#ifndef KELVO_TOOLS_KELVO_CLI_COMMANDS_H_
#define KELVO_TOOLS_KELVO_CLI_COMMANDS_H_

#include <cstdint>
#include <string>

#include "console.h"
#include "host_address.h"
#include "host_sink.h"
#include "kelvo/im_client_network.h"
#include "kelvo/kelvo_core.h"

namespace kelvo_cli {

enum class Outcome {
  kContinue,  // go on with the next line
  kQuit,      // `quit`
  kFailed,    // a wait timed out or the line was not a valid command
};

// Splits a command line: words separated by blanks, a word in double or
// single quotes may contain blanks (and the other kind of quote). Rest() hands back the unparsed remainder as typed
// (trimmed, surrounding quotes removed) for commands that end in free text.
class Words {
 public:
  explicit Words(const std::string& line) : line_(line) {}
  bool Next(std::string* word);
  std::string Rest();
  bool AtEnd();

 private:
  void SkipBlanks();
  std::string line_;
  std::size_t pos_ = 0;
};

// A decimal number that fits in `max`; no sign, no blanks, no trailing text.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t* out);
// An IPv4 address or host name to an address in host byte order.
using kelvo::tools::ResolveIpv4;
// Replaces every ${NAME} by the environment variable NAME. False, with the
// name in *missing, when a variable is not set.
bool ExpandVariables(const std::string& line, std::string* out, std::string* missing);
// The 16-byte MD5 of the password's bytes, as the server stores it.
bool PasswordDigest(const std::string& password, uint8_t digest[16]);

class Session {
 public:
  Session(Console& console, HostSink& sink, kelvo::IImClient* client)
      : console_(console), sink_(sink), client_(client) {}

  // Runs one line. Blank lines and lines starting with '#' do nothing.
  Outcome Execute(const std::string& line);

  static const char* Help();

 private:
  Outcome Usage(const std::string& usage);
  void Sent(bool accepted, const std::string& what);
  bool Gbk(const std::string& utf8, std::string* gbk);
  Outcome Connect(Words& words);
  Outcome Login(Words& words);
  Outcome Friends(Words& words);
  Outcome Group(Words& words);
  Outcome Wait(Words& words);

  Console& console_;
  HostSink& sink_;
  kelvo::IImClient* client_;
  uint32_t loginId_ = 0;
};

}  // namespace kelvo_cli

#endif  // KELVO_TOOLS_KELVO_CLI_COMMANDS_H_
