// IImClientNetwork: the face forwards to the client object.
#include "core/im_server_client.h"

namespace kelvo {

bool ImServerClient::NetworkFace::ConnectTo(const char* host, uint16_t port) {
  return client_->ConnectTo(host, port);
}

bool ImServerClient::NetworkFace::SetProxy(const char* host, uint16_t port) {
  return client_->SetProxyHost(host, port);
}

bool ImServerClient::NetworkFace::SetReconnect(const KelvoReconnectPolicy* policy) {
  return client_->SetReconnect(policy);
}

uint32_t ImServerClient::NetworkFace::GetLoginState() { return client_->LoginState(); }

}  // namespace kelvo
