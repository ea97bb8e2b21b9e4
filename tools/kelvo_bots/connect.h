// Where the bots connect: a server (and proxy) given as HOST:PORT, HOST a
// name, a dotted address or an IPv6 address in brackets ("[::1]:7000").
#ifndef KELVO_TOOLS_KELVO_BOTS_CONNECT_H_
#define KELVO_TOOLS_KELVO_BOTS_CONNECT_H_

#include <cstdint>
#include <string>

#include "host_address.h"
#include "kelvo/im_client_network.h"
#include "kelvo/kelvo_core.h"

namespace kelvo_bots {

struct Endpoint {
  std::string host;  // as given, brackets included
  uint32_t ip = 0;   // host byte order; 0 when the host has no IPv4 address
  uint16_t port = 0;
};

// Splits at the last colon; a host with an IPv4 address gets it here, once
// for every bot, so that the bots' attempts stay plain Connect calls.
inline bool ParseEndpoint(const std::string& text, Endpoint* out, uint16_t port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || port == 0) return false;
  out->host = text.substr(0, colon);
  out->port = port;
  if (!kelvo::tools::ResolveIpv4(out->host, &out->ip)) out->ip = 0;
  return true;
}

// Connect to an IPv4 address; a host without one (an IPv6 address, a name
// with only IPv6 addresses) goes to IImClientNetwork::ConnectTo, which
// resolves it itself. False when the attempt did not start.
inline bool StartAttempt(kelvo::IImClient* client, const Endpoint& server, const Endpoint& proxy) {
  const bool proxyByName = !proxy.host.empty() && proxy.ip == 0;
  if (server.ip != 0 && !proxyByName) {
    kelvo::ServerAddress address{};
    address.serverIp = server.ip;
    address.serverPort = server.port;
    address.proxyIp = proxy.ip;
    address.proxyPort = proxy.port;
    return client->Connect(&address);
  }
  auto* const net = static_cast<kelvo::IImClientNetwork*>(
      client->QueryInterface(kelvo::IID_IImClientNetwork, kelvo::IM_NETWORK_INTERFACE_VERSION));
  if (net == nullptr) return false;  // an older module: IPv4 only
  return net->SetProxy(proxy.host.c_str(), proxy.port) &&
         net->ConnectTo(server.host.c_str(), server.port);
}

}  // namespace kelvo_bots

#endif  // KELVO_TOOLS_KELVO_BOTS_CONNECT_H_
