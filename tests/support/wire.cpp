#include "support/wire.h"

#include <cstring>
#include <memory>
#include <stdexcept>

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <iconv.h>
#else
#include <windows.h>
#endif

namespace kelvo {
namespace test {

Msg::Msg(uint8_t id, uint8_t categoryByte) : bytes_{0, 0, categoryByte, id} {}
Msg& Msg::U8(uint8_t v) {
  bytes_.push_back(v);
  return *this;
}
Msg& Msg::U16(uint16_t v) {
  bytes_.push_back(static_cast<uint8_t>(v));
  bytes_.push_back(static_cast<uint8_t>(v >> 8));
  return *this;
}
Msg& Msg::U32(uint32_t v) {
  U16(static_cast<uint16_t>(v));
  return U16(static_cast<uint16_t>(v >> 16));
}
Msg& Msg::F64(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  U32(static_cast<uint32_t>(bits));
  return U32(static_cast<uint32_t>(bits >> 32));
}
Msg& Msg::Zeros(std::size_t n) { return Fill(n, 0); }
Msg& Msg::Fill(std::size_t n, uint8_t v) {
  bytes_.insert(bytes_.end(), n, v);
  return *this;
}
Msg& Msg::Raw(const std::string& s) {
  bytes_.insert(bytes_.end(), s.begin(), s.end());
  return *this;
}
Msg& Msg::Text(const std::string& s, std::size_t width) {
  std::string field = s.substr(0, width);
  field.resize(width, '\0');
  return Raw(field);
}
Msg& Msg::Append(const Bytes& b) {
  bytes_.insert(bytes_.end(), b.begin(), b.end());
  return *this;
}
Msg& Msg::PadTo(std::size_t total) {
  bytes_.resize(total, 0);
  return *this;
}
Msg& Msg::LengthWord(uint16_t word) {
  forced_ = true;
  word_ = word;
  return *this;
}
Bytes Msg::Build() const {
  Bytes out = bytes_;
  const uint16_t word = forced_ ? word_ : static_cast<uint16_t>(out.size() & 0x7FFF);
  out[0] = static_cast<uint8_t>(word);
  out[1] = static_cast<uint8_t>(word >> 8);
  return out;
}

uint32_t Deliver(ImServerClient& client, const Bytes& message, Bytes* after) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[message.size()]);
  if (!message.empty()) std::memcpy(buffer.get(), message.data(), message.size());
  const uint32_t result =
      client.HandleMessage(buffer.get(), static_cast<uint32_t>(message.size()), 0, 0);
  if (after != nullptr) after->assign(buffer.get(), buffer.get() + message.size());
  return result;
}

std::string Gbk(const std::string& utf8) {
#if !defined(_WIN32)
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv: no GBK");
  std::string out(utf8.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  std::size_t inLeft = utf8.size();
  char* dst = &out[0];
  std::size_t outLeft = out.size();
  const std::size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) throw std::runtime_error("iconv failed");
  out.resize(out.size() - outLeft);
  return out;
#else
  const int wlen = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(wlen), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], wlen);
  const int len = WideCharToMultiByte(936, 0, wide.data(), wlen, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(len), '\0');
  WideCharToMultiByte(936, 0, wide.data(), wlen, &out[0], len, nullptr, nullptr);
  return out;
#endif
}

void FakeSocket::SetProxyServer(Nimbo2::tagProxyInfo& info) {
  calls += "SetProxyServer(" + std::to_string(info.address) + "," + std::to_string(info.port) +
           "," + std::to_string(info.param) + ")\n";
}
void FakeSocket::CancelProxyServer() { calls += "CancelProxyServer()\n"; }
bool FakeSocket::Connect(sockaddr_in address) {
  const auto* p = reinterpret_cast<const uint8_t*>(&address.sin_port);
  const auto* a = reinterpret_cast<const uint8_t*>(&address.sin_addr);
  char buf[96];
  std::snprintf(buf, sizeof buf, "Connect(%u,%02x %02x,%02x %02x %02x %02x)\n",
                static_cast<unsigned>(address.sin_family), p[0], p[1], a[0], a[1], a[2], a[3]);
  calls += buf;
  return connectResult;
}
bool FakeSocket::SendMsg(void* context, void* msg, int len) {
  calls += "SendMsg(" + std::string(context ? "ctx" : "null") + "," + std::to_string(len) + ")\n";
  const auto* p = static_cast<const uint8_t*>(msg);
  sent.emplace_back(p, p + len);
  return sendResult;
}
bool FakeSocket::CloseSocket(bool notify) {
  calls += std::string("CloseSocket(") + (notify ? "true" : "false") + ")\n";
  return closeResult;
}

FakeClient::FakeClient() {
  client = new ImServerClient([this](Nimbo2::MsgWorker* worker) {
    socket = new FakeSocket(worker);
    return socket;
  });
}
FakeClient::~FakeClient() {
  if (client != nullptr) client->Release();
}

}  // namespace test
}  // namespace kelvo
