// IImClientSecurity: an optional face of the client object that secures the
// link: TLS to the server, and the username and password a SOCKS5 proxy
// asks for.
//
//   IImClientSecurity* sec = static_cast<IImClientSecurity*>(
//       client->QueryInterface(IID_IImClientSecurity, IM_SECURITY_INTERFACE_VERSION));
//   sec->SetTlsServerName("im.example.com");        // before Connect
//   sec->SetTlsTrustCaFile("certs/im-ca.pem");      // or the system's store
//   sec->SetTlsMode(KELVO_TLS_ON);
//
// TLS is off by default: the bytes on the wire are the protocol's own, as
// for a host that never asks for this interface. With TLS on, the server's
// certificate is always verified: it must be valid now, name the server
// name (which is also sent as SNI), and be trusted by the chosen trust
// (the system's store, the certificates of a CA file, or a pinned SHA-256
// of the server's public key). OnConnect(1) comes once TLS is open and the
// certificate verified, within the connection's 10-second limit; from then
// on every request and message goes through TLS, and Close sends TLS's
// close_notify before ending the connection. A connection whose
// verification fails, or whose server does not speak TLS, ends as
// OnConnect(0) after one OnLog line that names the reason, e.g.
//   "ImServerClient: connect to 203.0.113.7:7443 failed: certificate verify
//   failed: certificate has expired" ("certificate verify failed: ...",
//   "TLS handshake failed: ..." or "TLS set-up failed: ..." after the
//   address); nothing is ever sent in clear instead. A connection cut after
// the handshake without TLS's close ends as OnClose with "TLS connection
// failed: ...". Through a SOCKS5 proxy (ServerAddress::proxyIp), the TLS
// stream runs inside the proxy's tunnel.
//
// TLS 1.2 and 1.3 with OpenSSL on Linux, TLS 1.2 with the system's SChannel
// on Windows. On Linux the environment variable KELVO_TLS_KEYLOG=FILE makes
// every connection append its secrets to FILE in the NSS key log format, so
// that Wireshark can decrypt a capture; for debugging only. The host guide's
// chapter "Secure link" has the reasons, a TLS terminator's configuration,
// certificates and pinning.
//
// Every setting applies from the next Connect and stays until changed. A
// setting is refused with false, and nothing changes, for bad input (see
// each operation) or while the client has a connection (attempted or up;
// after Close, or once the connection is reported ended, settings may
// change again). Texts are narrow, zero-terminated strings in code page 936
// like every text of this library: on Windows a path is converted from that
// code page, elsewhere it is taken byte for byte.
//
// The three IImBase operations act on the client object itself, as on the
// pump interface. No virtual destructor; KELVO_CALL on every operation.
#ifndef KELVO_IM_CLIENT_SECURITY_H_
#define KELVO_IM_CLIENT_SECURITY_H_

#include "kelvo/im_base.h"
#include "kelvo/kelvo_types.h"

namespace kelvo {

// {24E5707E-1AE5-48D4-91A8-E34DE35C99D6}
constexpr GUID IID_IImClientSecurity = {
    0x24E5707E, 0x1AE5, 0x48D4, {0x91, 0xA8, 0xE3, 0x4D, 0xE3, 0x5C, 0x99, 0xD6}};

// Version word of this interface: 1.0. Accepted: major 1, minor 0, any build
// and revision.
constexpr uint32_t IM_SECURITY_INTERFACE_VERSION = 0x01000000;

// TLS modes.
constexpr uint32_t KELVO_TLS_OFF = 0;  // the default
constexpr uint32_t KELVO_TLS_ON = 1;

// Bytes of a pinned public key: the SHA-256 of the server certificate's
// DER-encoded SubjectPublicKeyInfo, as `openssl x509 -pubkey -noout | openssl
// pkey -pubin -outform der | openssl dgst -sha256` prints it.
constexpr uint32_t KELVO_TLS_PIN_SIZE = 32;

// Longest proxy username or password, in bytes (RFC 1929).
constexpr uint32_t KELVO_PROXY_TEXT_MAX = 255;

class IImClientSecurity : public IImBase {
 public:
  // Slots 0-2 come from IImBase.

  // Slot 3. Turns TLS on (KELVO_TLS_ON) or off (KELVO_TLS_OFF) for the next
  // connections. The certificate is checked against the server name
  // (SetTlsServerName) or, with none set, the host IImClientNetwork::
  // ConnectTo was given; an attempt with neither (Connect by address, or
  // ConnectTo an IPv6 address) fails at its TLS set-up, as OnConnect(0)
  // with its OnLog line. The trust stays as chosen, the system's store
  // unless another was set. False for another value.
  virtual bool KELVO_CALL SetTlsMode(uint32_t mode) = 0;
  // Slot 4. The name the server's certificate must carry, sent as SNI: a DNS
  // name in ASCII (an internationalised name in its "xn--" form) of at most
  // 253 bytes, or a dotted IPv4 address (checked against the certificate's
  // IP addresses, not sent). "" forgets the name, and is refused while TLS
  // is on. False for null or a malformed name.
  virtual bool KELVO_CALL SetTlsServerName(const char* serverName) = 0;
  // Slot 5. Trust the certificate authorities of the system's store (the
  // default): on Linux OpenSSL's default locations, on Windows the
  // certificate stores of the current user. Like the other two trusts, it
  // replaces the one chosen before. False only while a connection exists.
  virtual bool KELVO_CALL SetTlsTrustSystemStore() = 0;
  // Slot 6. Trust only the certificates of a PEM file (one or more
  // "-----BEGIN CERTIFICATE-----" blocks, at most 4 MiB). The file is read
  // now; a later change to it takes effect with the next call. False for
  // null, a file that cannot be read, or one that holds no certificate or
  // a block that does not parse.
  virtual bool KELVO_CALL SetTlsTrustCaFile(const char* path) = 0;
  // Slot 7. Trust exactly the server key whose SHA-256 is `sha256`
  // (KELVO_TLS_PIN_SIZE bytes, copied): no certificate authority is asked,
  // but the certificate must still be valid now and carry the server name.
  // False for null or a size other than KELVO_TLS_PIN_SIZE.
  virtual bool KELVO_CALL SetTlsTrustPin(const uint8_t* sha256, uint32_t size) = 0;
  // Slot 8. The username and password for a SOCKS5 proxy that asks for them
  // (RFC 1929), each 1 to KELVO_PROXY_TEXT_MAX bytes; both "" to forget
  // them. With credentials set the client offers both "no authentication"
  // and username/password and answers whichever the proxy picks. A proxy
  // that refuses them ends the attempt as OnConnect(0) with its own OnLog
  // line. They cross the network to the proxy in clear (RFC 1929 has no
  // other way); TLS protects what goes to the server, not them. False for
  // null, one text empty and the other not, or a text that is too long.
  virtual bool KELVO_CALL SetProxyCredentials(const char* username, const char* password) = 0;

 protected:
  ~IImClientSecurity() = default;
};

}  // namespace kelvo

#endif  // KELVO_IM_CLIENT_SECURITY_H_
