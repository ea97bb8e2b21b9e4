#include "net.h"

#include "nimbo2/tcp_client_socks5.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
#include <process.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__linux__)
// The kernel's own header: its tcp_info has the acknowledged-bytes count
// that the C library's copy lacks.
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/eventfd.h>
#else
#include <netinet/tcp.h>
#endif
#endif

namespace Nimbo2 {
namespace net {

Address Address::Ipv4(uint32_t ip, uint16_t port) {
  Address a;
  a.family = kIpv4;
  a.ip[0] = static_cast<uint8_t>(ip >> 24);
  a.ip[1] = static_cast<uint8_t>(ip >> 16);
  a.ip[2] = static_cast<uint8_t>(ip >> 8);
  a.ip[3] = static_cast<uint8_t>(ip);
  a.port = port;
  return a;
}

uint32_t Address::Ipv4HostOrder() const {
  return (uint32_t{ip[0]} << 24) | (uint32_t{ip[1]} << 16) | (uint32_t{ip[2]} << 8) | ip[3];
}

namespace {

// The system's form of `a`; returns its length.
int ToSystem(const Address& a, sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  if (a.family == Address::kIpv6) {
    sockaddr_in6* const six = reinterpret_cast<sockaddr_in6*>(out);
    six->sin6_family = AF_INET6;
    six->sin6_port = htons(a.port);
    std::memcpy(&six->sin6_addr, a.ip, 16);
    six->sin6_scope_id = a.scope;
    return static_cast<int>(sizeof *six);
  }
  sockaddr_in* const four = reinterpret_cast<sockaddr_in*>(out);
  four->sin_family = AF_INET;
  four->sin_port = htons(a.port);
  std::memcpy(&four->sin_addr, a.ip, 4);
  return static_cast<int>(sizeof *four);
}

// One entry of the resolver's list, when it is TCP over IPv4 or IPv6.
bool FromSystem(const sockaddr* sa, std::size_t len, uint16_t port, Address* out) {
  if (sa == nullptr) return false;
  if (sa->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
    sockaddr_in6 six;
    std::memcpy(&six, sa, sizeof six);
    out->family = Address::kIpv6;
    std::memcpy(out->ip, &six.sin6_addr, 16);
    out->scope = six.sin6_scope_id;
  } else if (sa->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
    sockaddr_in four;
    std::memcpy(&four, sa, sizeof four);
    out->family = Address::kIpv4;
    std::memcpy(out->ip, &four.sin_addr, 4);
    out->scope = 0;
  } else {
    return false;
  }
  out->port = port;
  return true;
}

// The same words on every platform, so that a player's report reads the
// same whatever the game runs on.
std::string ResolveErrorText(int code, int systemError) {
  (void)systemError;  // EAI_SYSTEM's errno, where there is one
  switch (code) {
    case EAI_NONAME: return "no such name";
#if defined(EAI_NODATA) && EAI_NODATA != EAI_NONAME
    case EAI_NODATA: return "the name has no address";
#endif
#if defined(EAI_ADDRFAMILY)
    case EAI_ADDRFAMILY: return "the name has no address";
#endif
    case EAI_AGAIN: return "temporary failure in name resolution";
    case EAI_FAIL: return "name resolution failed";
    case EAI_MEMORY: return "out of memory";
#if defined(EAI_SYSTEM)
    case EAI_SYSTEM: return "system error " + std::to_string(systemError);
#endif
    default: return "resolver error " + std::to_string(code);
  }
}

}  // namespace

bool ParseIpv6(const std::string& text, uint8_t out[16]) {
  if (text.empty() || text.size() > 45) return false;
  in6_addr a;
  if (::inet_pton(AF_INET6, text.c_str(), &a) != 1) return false;
  std::memcpy(out, &a, 16);
  return true;
}

#if defined(_WIN32)
bool Resolve(const std::string& host, uint16_t port, std::vector<Address>* out,
             std::string* why) {
  if (!Startup()) {
    *why = ResolveErrorText(EAI_FAIL, 0);
    return false;
  }
  // The names are ASCII (checked before an attempt starts): widened as they are.
  std::wstring wide(host.begin(), host.end());
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_ADDRCONFIG;
  ADDRINFOW* list = nullptr;
  const int r = ::GetAddrInfoW(wide.c_str(), nullptr, &hints, &list);
  if (r != 0) {
    *why = ResolveErrorText(r, r);
    return false;
  }
  for (const ADDRINFOW* p = list; p != nullptr; p = p->ai_next) {
    Address a;
    if (FromSystem(p->ai_addr, p->ai_addrlen, port, &a)) out->push_back(a);
  }
  ::FreeAddrInfoW(list);
  if (out->empty()) *why = ResolveErrorText(EAI_NODATA, 0);
  return !out->empty();
}
#else
bool Resolve(const std::string& host, uint16_t port, std::vector<Address>* out,
             std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  // Only the families the machine has an address of: on an IPv6-only
  // network the resolver's DNS64 answer (a NAT64 address) is what comes
  // back, and no IPv4 address that could never be reached is tried.
  hints.ai_flags = AI_ADDRCONFIG;
#if defined(AI_DEFAULT)
  hints.ai_flags |= AI_DEFAULT;  // Apple: AI_ADDRCONFIG | AI_V4MAPPED, NAT64 synthesis
#endif
  addrinfo* list = nullptr;
  const int r = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (r != 0) {
    *why = ResolveErrorText(r, errno);
    return false;
  }
  for (const addrinfo* p = list; p != nullptr; p = p->ai_next) {
    Address a;
    if (FromSystem(p->ai_addr, p->ai_addrlen, port, &a)) out->push_back(a);
  }
  ::freeaddrinfo(list);
  if (out->empty()) *why = ResolveErrorText(EAI_NONAME, 0);
  return !out->empty();
}
#endif

#if defined(_WIN32)
// Winsock option numbers that MinGW's headers lack (ws2ipdef.h).
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

namespace {
SOCKET S(Socket s) { return static_cast<SOCKET>(s); }
}  // namespace

bool Startup() {
  static const bool ok = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ok;
}

int LastError() { return ::WSAGetLastError(); }
bool WouldBlock(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }
bool Interrupted(int e) { return e == WSAEINTR; }
bool NoDescriptors(int e) { return e == WSAEMFILE || e == WSAENOBUFS; }

Socket OpenTcp(Address::Family family, int* error) {
  SOCKET s = ::WSASocketW(family == Address::kIpv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP,
                          nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    *error = LastError();
    return kNoSocket;
  }
  u_long on = 1;
  if (::ioctlsocket(s, FIONBIO, &on) != 0) {
    *error = LastError();
    ::closesocket(s);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

int StartConnect(Socket s, const Address& to) {
  sockaddr_storage a;
  const int len = ToSystem(to, &a);
  if (::connect(S(s), reinterpret_cast<const sockaddr*>(&a), len) == 0) return 0;
  const int e = LastError();
  return WouldBlock(e) ? 0 : e;
}

int ConnectOutcome(Socket s) {
  int e = 0;
  int len = sizeof e;
  if (::getsockopt(S(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&e), &len) != 0)
    return LastError();
  return e;
}

bool ConnectedNow(Socket s) {
  sockaddr_storage peer;
  int len = sizeof peer;
  return ::getpeername(S(s), reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

long Send(Socket s, const void* data, std::size_t n, int* error) {
  const int chunk = static_cast<int>(std::min<std::size_t>(n, 1u << 30));
  const int r = ::send(S(s), static_cast<const char*>(data), chunk, 0);
  if (r == SOCKET_ERROR) {
    *error = LastError();
    return -1;
  }
  return r;
}

namespace {
long Receive(Socket s, void* data, std::size_t n, int flags, int* error) {
  const int chunk = static_cast<int>(std::min<std::size_t>(n, 1u << 30));
  const int r = ::recv(S(s), static_cast<char*>(data), chunk, flags);
  if (r == SOCKET_ERROR) {
    *error = LastError();
    return -1;
  }
  return r;
}
}  // namespace

long Recv(Socket s, void* data, std::size_t n, int* error) { return Receive(s, data, n, 0, error); }
long Peek(Socket s, void* data, std::size_t n, int* error) {
  return Receive(s, data, n, MSG_PEEK, error);
}

void ShutdownWrite(Socket s) { ::shutdown(S(s), SD_SEND); }
void Close(Socket s) {
  if (s != kNoSocket) ::closesocket(S(s));
}

uint32_t Tune(Socket s, const Health& h) {
  uint32_t tuned = 0;
  BOOL on = TRUE;
  ::setsockopt(S(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  // Windows says nothing of what the peer acknowledged; the stall watchdog
  // judges by what the system takes from our queue. A send buffer of the
  // system's classic size keeps that visible in small steps (a buffer of
  // megabytes would only take more once a third of it was free).
  const int sendBuffer = 64 * 1024;
  ::setsockopt(S(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer),
               sizeof sendBuffer);
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = h.idleMs;
  values.keepaliveinterval = h.intervalMs;
  DWORD returned = 0;
  if (::WSAIoctl(S(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                 nullptr) == 0)
    tuned |= kTunedKeepAlive;
  // Windows 10 1703 and later take a probe count and a retransmission
  // limit; older systems refuse both and keep 10 probes (our default) and
  // their own limit.
  const DWORD count = h.probes;
  if (::setsockopt(S(s), IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count),
                   sizeof count) == 0)
    tuned |= kTunedProbeCount;
  const DWORD maxrt = std::max<uint32_t>(1, h.unacknowledgedMs / 1000);
  if (::setsockopt(S(s), IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&maxrt),
                   sizeof maxrt) == 0)
    tuned |= kTunedUnacknowledged;
  return tuned;
}

bool BytesAcked(Socket, uint64_t*) { return false; }
long OutstandingBytes(Socket) { return -1; }

LinkReason ReasonFor(int e) {
  switch (e) {
    case WSAECONNREFUSED: return LinkReason::kRefused;
    case WSAECONNRESET:
    case WSAECONNABORTED: return LinkReason::kResetByPeer;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN: return LinkReason::kUnreachable;
    // Windows ends a connection whose keep-alive went unanswered with
    // WSAENETRESET.
    case WSAETIMEDOUT:
    case WSAENETRESET: return LinkReason::kTimedOut;
    case WSAEMFILE:
    case WSAENOBUFS: return LinkReason::kNoDescriptors;
    default: return LinkReason::kOtherError;
  }
}

// A UDP socket bound to 127.0.0.1 and connected to itself: one handle that
// WSAPoll can wait on, made readable by a datagram to itself.
Waker::~Waker() { Close(fd_); }

bool Waker::Open(int* error) {
  SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    *error = LastError();
    return false;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  u_long on = 1;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
      ::ioctlsocket(s, FIONBIO, &on) != 0) {
    *error = LastError();
    ::closesocket(s);
    return false;
  }
  fd_ = static_cast<Socket>(s);
  return true;
}

void Waker::Signal() {
  const char one = 1;
  ::send(S(fd_), &one, 1, 0);
}

void Waker::Drain() {
  char buf[64];
  while (::recv(S(fd_), buf, sizeof buf, 0) > 0) {
  }
}

namespace {
struct ThreadStart {
  std::function<void()> body;
  std::wstring name;
};

unsigned __stdcall ThreadMain(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  // SetThreadDescription exists from Windows 10 1607; looked up, not linked.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  if (HMODULE k = ::GetModuleHandleW(L"kernel32.dll")) {
    auto set = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(::GetProcAddress(k, "SetThreadDescription")));
    if (set) set(::GetCurrentThread(), start->name.c_str());
  }
  start->body();
  return 0;
}
}  // namespace

Thread::~Thread() {
  if (started_) Detach();
}

bool Thread::Start(std::function<void()> body, std::size_t stackBytes, const char* name,
                   int* error) {
  auto start = std::make_unique<ThreadStart>();
  start->body = std::move(body);
  for (const char* p = name; *p; ++p) start->name.push_back(static_cast<wchar_t>(*p));
  unsigned id = 0;
  const uintptr_t h = ::_beginthreadex(nullptr, static_cast<unsigned>(stackBytes), ThreadMain,
                                       start.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
  if (h == 0) {
    *error = errno;
    return false;
  }
  start.release();
  handle_ = reinterpret_cast<void*>(h);
  id_ = id;
  started_ = true;
  return true;
}

bool Thread::IsCurrent() const { return started_ && ::GetCurrentThreadId() == id_; }

void Thread::Join() {
  if (!started_) return;
  ::WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
  ::CloseHandle(static_cast<HANDLE>(handle_));
  started_ = false;
}

void Thread::Detach() {
  if (!started_) return;
  ::CloseHandle(static_cast<HANDLE>(handle_));
  started_ = false;
}

#else  // POSIX

bool Startup() { return true; }
int LastError() { return errno; }
bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS; }
bool Interrupted(int e) { return e == EINTR; }
bool NoDescriptors(int e) { return e == EMFILE || e == ENFILE; }

Socket OpenTcp(Address::Family family, int* error) {
  const int s = ::socket(family == Address::kIpv6 ? AF_INET6 : AF_INET,
                         SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) *error = errno;
  return s;
}

int StartConnect(Socket s, const Address& to) {
  sockaddr_storage a;
  const socklen_t len = static_cast<socklen_t>(ToSystem(to, &a));
  for (;;) {
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), len) == 0) return 0;
    if (errno == EINTR) continue;
    return errno == EINPROGRESS ? 0 : errno;
  }
}

int ConnectOutcome(Socket s) {
  int e = 0;
  socklen_t len = sizeof e;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &e, &len) != 0) return errno;
  return e;
}

bool ConnectedNow(Socket s) {
  sockaddr_storage peer;
  socklen_t len = sizeof peer;
  return ::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

long Send(Socket s, const void* data, std::size_t n, int* error) {
  for (;;) {
    const ssize_t r = ::send(s, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) return static_cast<long>(r);
    if (errno == EINTR) continue;
    *error = errno;
    return -1;
  }
}

namespace {
long Receive(Socket s, void* data, std::size_t n, int flags, int* error) {
  for (;;) {
    const ssize_t r = ::recv(s, data, n, MSG_DONTWAIT | flags);
    if (r >= 0) return static_cast<long>(r);
    if (errno == EINTR) continue;
    *error = errno;
    return -1;
  }
}
}  // namespace

long Recv(Socket s, void* data, std::size_t n, int* error) { return Receive(s, data, n, 0, error); }
long Peek(Socket s, void* data, std::size_t n, int* error) {
  return Receive(s, data, n, MSG_PEEK, error);
}

void ShutdownWrite(Socket s) { ::shutdown(s, SHUT_WR); }
void Close(Socket s) {
  if (s >= 0) ::close(s);
}

uint32_t Tune(Socket s, const Health& h) {
  uint32_t tuned = 0;
  const int on = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return tuned;
#if defined(__linux__)
  const int idle = static_cast<int>(std::max<uint32_t>(1, h.idleMs / 1000));
  const int interval = static_cast<int>(std::max<uint32_t>(1, h.intervalMs / 1000));
  const int count = static_cast<int>(h.probes);
  const unsigned user = h.unacknowledgedMs;
  if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
      ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0)
    tuned |= kTunedKeepAlive;
  if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0) tuned |= kTunedProbeCount;
  if (::setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &user, sizeof user) == 0)
    tuned |= kTunedUnacknowledged;
#else
  (void)h;
#endif
  return tuned;
}

bool BytesAcked(Socket s, uint64_t* acked) {
#if defined(__linux__) && defined(TCP_INFO)
  tcp_info info{};
  socklen_t len = sizeof info;
  if (::getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return false;
  // tcpi_bytes_acked arrived with Linux 4.1; an older kernel fills less.
  if (len < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return false;
  *acked = info.tcpi_bytes_acked;
  return true;
#else
  (void)s;
  (void)acked;
  return false;
#endif
}

long OutstandingBytes(Socket s) {
#if defined(__linux__)
  int n = 0;
  if (::ioctl(s, SIOCOUTQ, &n) == 0) return n;
#else
  (void)s;
#endif
  return -1;
}

LinkReason ReasonFor(int e) {
  switch (e) {
    case ECONNREFUSED: return LinkReason::kRefused;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE: return LinkReason::kResetByPeer;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN: return LinkReason::kUnreachable;
    case ETIMEDOUT: return LinkReason::kTimedOut;
    case EMFILE:
    case ENFILE: return LinkReason::kNoDescriptors;
    default: return LinkReason::kOtherError;
  }
}

Waker::~Waker() { Close(fd_); }

bool Waker::Open(int* error) {
#if defined(__linux__)
  fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd_ < 0) {
    *error = errno;
    return false;
  }
  return true;
#else
#error "a wake-up channel for this system"
#endif
}

void Waker::Signal() {
  const uint64_t one = 1;
  ssize_t r;
  do {
    r = ::write(fd_, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
}

void Waker::Drain() {
  uint64_t n;
  ssize_t r;
  do {
    r = ::read(fd_, &n, sizeof n);
  } while (r < 0 && errno == EINTR);
}

namespace {
struct ThreadStart {
  std::function<void()> body;
  char name[16];
};

void* ThreadMain(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
#if defined(__linux__)
  ::pthread_setname_np(::pthread_self(), start->name);
#endif
  start->body();
  return nullptr;
}
}  // namespace

Thread::~Thread() {
  if (started_) Detach();
}

bool Thread::Start(std::function<void()> body, std::size_t stackBytes, const char* name,
                   int* error) {
  auto start = std::make_unique<ThreadStart>();
  start->body = std::move(body);
  std::strncpy(start->name, name, sizeof start->name - 1);
  start->name[sizeof start->name - 1] = '\0';
  pthread_attr_t attr;
  ::pthread_attr_init(&attr);
  ::pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t t;
  const int r = ::pthread_create(&t, &attr, ThreadMain, start.get());
  ::pthread_attr_destroy(&attr);
  if (r != 0) {
    *error = r;
    return false;
  }
  start.release();
  handle_ = static_cast<unsigned long>(t);
  started_ = true;
  return true;
}

bool Thread::IsCurrent() const {
  return started_ && ::pthread_equal(static_cast<pthread_t>(handle_), ::pthread_self());
}

void Thread::Join() {
  if (!started_) return;
  ::pthread_join(static_cast<pthread_t>(handle_), nullptr);
  started_ = false;
}

void Thread::Detach() {
  if (!started_) return;
  ::pthread_detach(static_cast<pthread_t>(handle_));
  started_ = false;
}

#endif

}  // namespace net
}  // namespace Nimbo2
