// Why the connection failed or ended, told to the host as one OnLog line.
//
// OnConnect(0) and OnClose carry no reason, and a player's support ticket
// needs one: refused, timed out, a proxy's refusal, a dead link. The socket
// client hands over the reason just before the state it explains, inside
// the same delivery, so a reason is never told for an attempt the host has
// already closed or replaced, and the host reads it before the state (in
// pump mode too: the line is an event of its own, right before the state).
#include <cstdio>
#include <cstring>

#include "core/im_server_client.h"
#include "sink/texts.h"

namespace kelvo {

namespace {

using Nimbo2::LinkNote;
using Nimbo2::LinkReason;

// One diagnostic line, terminator included, as for FormatLog.
constexpr std::size_t kLineSize = 512;

unsigned Octet(uint32_t address, int shift) { return (address >> shift) & 0xFFu; }

// Appends at `used`; the buffer stays terminated when the text is cut.
void Append(std::size_t& used, int written) {
  if (written <= 0) return;
  used += static_cast<std::size_t>(written);
  if (used >= kLineSize) used = kLineSize - 1;
}

const char* SocksReplyMeaning(uint32_t code) {
  constexpr std::size_t count = sizeof kTextSocksReplyMeanings / sizeof kTextSocksReplyMeanings[0];
  return code < count ? kTextSocksReplyMeanings[code] : kTextSocksReplyUnassigned;
}

const char* ReasonText(LinkReason reason) {
  switch (reason) {
    case LinkReason::kRefused: return kTextLinkRefused;
    case LinkReason::kTimedOut: return kTextLinkTimedOut;
    case LinkReason::kUnreachable: return kTextLinkUnreachable;
    case LinkReason::kResetByPeer: return kTextLinkReset;
    case LinkReason::kClosedByPeer: return kTextLinkClosed;
    case LinkReason::kKeepAliveTimeout: return kTextLinkKeepAlive;
    case LinkReason::kUnacknowledged: return kTextLinkUnacknowledged;
    case LinkReason::kSendStall: return kTextLinkSendStall;
    case LinkReason::kProxyMethodRefused: return kTextLinkProxyMethod;
    case LinkReason::kProxyFailureReply: return kTextLinkProxyFailure;
    case LinkReason::kProxyClosed: return kTextLinkProxyClosed;
    case LinkReason::kProxyBadReply: return kTextLinkProxyBadReply;
    case LinkReason::kFramingError: return kTextLinkFraming;
    case LinkReason::kOutOfMemory: return kTextLinkOutOfMemory;
    case LinkReason::kNoDescriptors: return kTextLinkNoDescriptors;
    case LinkReason::kProxyAuthRefused: return kTextLinkProxyAuthRefused;
    case LinkReason::kTls: break;  // its detail, above
    case LinkReason::kUnresolved: break;  // its own line, above
    case LinkReason::kOtherError: break;
  }
  return kTextLinkOtherError;
}

// A host as the head names it: the text the attempt was given (an IPv6
// address in brackets), or the dotted address.
struct HostName {
  char text[Nimbo2::kNoteHostMax + 3];

  HostName(const char* given, uint32_t address) {
    if (given[0] == '\0') {
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", Octet(address, 24), Octet(address, 16),
                    Octet(address, 8), Octet(address, 0));
    } else if (std::strchr(given, ':') != nullptr) {
      std::snprintf(text, sizeof text, "[%s]", given);
    } else {
      std::snprintf(text, sizeof text, "%s", given);
    }
  }
};

void FormatNote(const LinkNote& note, char* line) {
  std::size_t used = 0;
  const bool lost = note.state == Nimbo2::kConnectionClosed;
  const HostName server(note.host, note.address);
  if (note.viaProxy) {
    const HostName proxy(note.proxyHost, note.proxyAddress);
    Append(used,
           std::snprintf(line, kLineSize, lost ? kTextLinkLostViaProxy : kTextLinkFailedViaProxy,
                         server.text, unsigned{note.port}, proxy.text, unsigned{note.proxyPort}));
  } else {
    Append(used, std::snprintf(line, kLineSize, lost ? kTextLinkLost : kTextLinkFailed,
                               server.text, unsigned{note.port}));
  }
  // The name a resolver stage concerns: the proxy's when the attempt went
  // through one, the server's otherwise.
  const char* const name = note.aboutProxy ? note.proxyHost : note.host;
  if (note.reason == LinkReason::kUnresolved) {
    std::snprintf(line + used, kLineSize - used, kTextLinkUnresolved, name, note.detail);
    return;
  }
  if (note.everyAddressFailed) {
    Append(used, std::snprintf(line + used, kLineSize - used, kTextLinkNoAddressAnswered, name));
  }
  char* const rest = line + used;
  const std::size_t room = kLineSize - used;
  if (note.reason == LinkReason::kTls) {
    // The TLS layer's own line ("certificate verify failed: ...").
    std::snprintf(rest, room, "%s\n", note.detail);
  } else if (note.reason == LinkReason::kProxyFailureReply) {
    std::snprintf(rest, room, kTextLinkProxyFailure, unsigned{note.value},
                  SocksReplyMeaning(note.value));
  } else {
    // Every other reason text takes at most the one value.
    std::snprintf(rest, room, ReasonText(note.reason), unsigned{note.value});
  }
}

}  // namespace

void ImServerClient::TellNote(const Nimbo2::LinkNote& note) {
  if (sink_ == nullptr) return;
  char line[kLineSize];
  FormatNote(note, line);
  try {
    sink_->OnLog(line);
  } catch (...) {
    // The state report follows regardless; nobody else to tell.
  }
}

}  // namespace kelvo
