// What the command-line tools share: a host name or dotted address as the
// IPv4 address in host byte order that ServerAddress carries.
#ifndef KELVO_TOOLS_COMMON_HOST_ADDRESS_H_
#define KELVO_TOOLS_COMMON_HOST_ADDRESS_H_

#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace kelvo {
namespace tools {

// A dotted address as it is, or the first IPv4 address a name resolves to.
// False when neither gives one; *out is then unchanged.
inline bool ResolveIpv4(const std::string& host, uint32_t* out) {
  in_addr literal{};
  if (inet_pton(AF_INET, host.c_str(), &literal) == 1) {
    *out = ntohl(literal.s_addr);
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *out = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(found);
  return true;
}

}  // namespace tools
}  // namespace kelvo

#endif  // KELVO_TOOLS_COMMON_HOST_ADDRESS_H_
