// Placeholder so the core links; the real client lands with the network
// library work.
#include "nimbo2/tcp_client_socks5.h"

namespace Nimbo2 {

struct TCPClient_Socks5::Impl {};

TCPClient_Socks5::TCPClient_Socks5(MsgWorker*) : impl_(std::make_shared<Impl>()) {}
TCPClient_Socks5::~TCPClient_Socks5() = default;
void TCPClient_Socks5::SetProxyServer(tagProxyInfo&) {}
void TCPClient_Socks5::CancelProxyServer() {}
bool TCPClient_Socks5::Connect(sockaddr_in) { return false; }
bool TCPClient_Socks5::SendMsg(void*, void*, int) { return false; }
bool TCPClient_Socks5::CloseSocket(bool) { return true; }
int TCPClient_Socks5::GetConnectState() const { return 0; }
uint64_t TCPClient_Socks5::BytesReceived() const { return 0; }
uint64_t TCPClient_Socks5::BytesSent() const { return 0; }
uint64_t TCPClient_Socks5::MessagesReceived() const { return 0; }

}  // namespace Nimbo2
