// The few socket calls the loopback fixtures need, on POSIX and on Winsock.
// The fixtures are written against BSD sockets; on Windows the handle type,
// close, poll and non-blocking mode differ, and sockets need WSAStartup.
#ifndef KELVO_TESTS_SUPPORT_TEST_SOCKET_H_
#define KELVO_TESTS_SUPPORT_TEST_SOCKET_H_

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstddef>

namespace kelvo {
namespace test {

#if defined(_WIN32)

using SocketHandle = SOCKET;
inline constexpr SocketHandle kNoSocket = INVALID_SOCKET;

// Winsock must be started once per process before the first socket; the
// count it keeps is never dropped, the process ends first.
inline void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
inline void CloseSocketHandle(SocketHandle s) { ::closesocket(s); }
inline int PollSockets(pollfd* fds, unsigned count, int timeoutMs) {
  return ::WSAPoll(fds, count, timeoutMs);
}
inline void SetNonBlocking(SocketHandle s) {
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
}
// Winsock calls are not interrupted by signals.
inline bool Interrupted() { return false; }
// The last call on a non-blocking socket found it full (or empty).
inline bool WouldBlock() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }
inline long SendBytes(SocketHandle s, const void* data, std::size_t n) {
  return ::send(s, static_cast<const char*>(data), static_cast<int>(n), 0);
}
inline long RecvBytes(SocketHandle s, void* data, std::size_t n) {
  return ::recv(s, static_cast<char*>(data), static_cast<int>(n), 0);
}
inline void SetOption(SocketHandle s, int level, int name, const void* value, int size) {
  ::setsockopt(s, level, name, static_cast<const char*>(value), size);
}

#else

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

inline void StartSockets() {}
inline void CloseSocketHandle(SocketHandle s) { ::close(s); }
inline int PollSockets(pollfd* fds, unsigned count, int timeoutMs) {
  return ::poll(fds, count, timeoutMs);
}
inline void SetNonBlocking(SocketHandle s) { ::fcntl(s, F_SETFL, O_NONBLOCK); }
inline bool Interrupted() { return errno == EINTR; }
inline bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
inline long SendBytes(SocketHandle s, const void* data, std::size_t n) {
  return ::send(s, data, n, MSG_NOSIGNAL);
}
inline long RecvBytes(SocketHandle s, void* data, std::size_t n) {
  return ::recv(s, data, n, 0);
}
inline void SetOption(SocketHandle s, int level, int name, const void* value, int size) {
  ::setsockopt(s, level, name, value, static_cast<socklen_t>(size));
}

#endif

}  // namespace test
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_TEST_SOCKET_H_
