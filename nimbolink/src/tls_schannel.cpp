// TlsSession on the system's SChannel, through SSPI: nothing to ship beside
// the DLL, and the system's own certificate stores.
//
// SChannel is told to leave the certificate alone (manual validation); the
// session checks it itself once the handshake is through and before the
// state turns open, with the system's chain engine, so the three kinds of
// trust behave as they do with OpenSSL:
//   - system store: the chain must end at a root the system trusts;
//   - CA file: the chain, built with the file's certificates at hand, must
//     end at one of them;
//   - pin: the leaf's public key must hash to the pin.
// The dates and the server name are checked for all three by the system's
// SSL policy. In the system-store mode the chain engine may fetch a missing
// intermediate or root from the network (Windows installs roots on first
// use), so Advance() can take as long as such a fetch.
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tls_session.h"

namespace Nimbo2 {

namespace {

constexpr char kVerifyFailed[] = "certificate verify failed: ";
constexpr char kHandshakeFailed[] = "TLS handshake failed: ";
constexpr char kConnectionFailed[] = "TLS connection failed: ";

// From wininet.h, which has no business here otherwise.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreCommonName = 0x00001000;

constexpr DWORD kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                           ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                           ISC_REQ_MANUAL_CRED_VALIDATION;

std::string Hex32(unsigned long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", code);
  return text;
}

// SSPI's answers as short texts, with the code for a search.
std::string StatusText(SECURITY_STATUS status) {
  const char* what = nullptr;
  switch (status) {
    case SEC_E_ILLEGAL_MESSAGE: what = "illegal message (does the server speak TLS?)"; break;
    case SEC_E_ALGORITHM_MISMATCH: what = "no protocol version or cipher in common"; break;
    case SEC_E_UNSUPPORTED_FUNCTION: what = "unsupported protocol"; break;
    case SEC_E_MESSAGE_ALTERED: what = "message altered"; break;
    case SEC_E_DECRYPT_FAILURE: what = "decryption failed"; break;
    case SEC_E_CERT_UNKNOWN: what = "unknown certificate"; break;
    case SEC_E_INVALID_TOKEN: what = "invalid token"; break;
    case SEC_E_INTERNAL_ERROR: what = "internal error"; break;
    case SEC_E_INSUFFICIENT_MEMORY: what = "out of memory"; break;
    case SEC_E_NO_CREDENTIALS: what = "no credentials"; break;
    case SEC_E_WRONG_PRINCIPAL: what = "wrong principal"; break;
    default: what = "SSPI error"; break;
  }
  return std::string(what) + " (" + Hex32(static_cast<unsigned long>(status)) + ")";
}

struct CertFree {
  void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
struct ChainFree {
  void operator()(const CERT_CHAIN_CONTEXT* c) const { CertFreeCertificateChain(c); }
};
struct StoreClose {
  void operator()(void* s) const { CertCloseStore(static_cast<HCERTSTORE>(s), 0); }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, CertFree>;
using ChainPtr = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;
using StorePtr = std::unique_ptr<void, StoreClose>;

// Every "-----BEGIN CERTIFICATE-----" block of `pem` into `store` (when not
// null). False when a block does not decode or parse, or there is none.
bool ReadCertificates(const std::string& pem, HCERTSTORE store, std::string* error) {
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static const char kEnd[] = "-----END CERTIFICATE-----";
  int count = 0;
  std::size_t at = 0;
  while ((at = pem.find(kBegin, at)) != std::string::npos) {
    const std::size_t end = pem.find(kEnd, at);
    if (end == std::string::npos) {
      *error = "a certificate block without its end line";
      return false;
    }
    const std::size_t stop = end + sizeof kEnd - 1;
    const DWORD blockSize = static_cast<DWORD>(stop - at);
    DWORD derSize = 0;
    std::vector<BYTE> der;
    if (CryptStringToBinaryA(pem.data() + at, blockSize, CRYPT_STRING_BASE64HEADER, nullptr,
                             &derSize, nullptr, nullptr)) {
      der.resize(derSize);
    }
    if (der.empty() || !CryptStringToBinaryA(pem.data() + at, blockSize, CRYPT_STRING_BASE64HEADER,
                                             der.data(), &derSize, nullptr, nullptr)) {
      *error = "a certificate block that is not base64";
      return false;
    }
    CertPtr cert(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), derSize));
    if (!cert) {
      *error = "a certificate block that does not parse (" + Hex32(GetLastError()) + ")";
      return false;
    }
    if (store != nullptr &&
        !CertAddCertificateContextToStore(store, cert.get(), CERT_STORE_ADD_USE_EXISTING,
                                          nullptr)) {
      *error = "cannot keep a CA certificate (" + Hex32(GetLastError()) + ")";
      return false;
    }
    ++count;
    at = stop;
  }
  if (count == 0) {
    *error = "no certificate in the CA file";
    return false;
  }
  return true;
}

// Whether the certificate's subjectAltName holds the IPv4 address `name`
// (dotted, already checked). Addresses are matched here, not by the SSL
// policy: not every implementation of it compares them.
bool HasIpAddress(const CERT_CONTEXT* cert, const std::string& name) {
  BYTE address[4] = {};
  unsigned part = 0, value = 0;
  for (char c : name) {
    if (c == '.') {
      address[part++] = static_cast<BYTE>(value);
      value = 0;
    } else {
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
  }
  address[part] = static_cast<BYTE>(value);
  const CERT_EXTENSION* ext =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                        cert->pCertInfo->rgExtension);
  if (ext == nullptr) return false;
  CERT_ALT_NAME_INFO* info = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                           ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < info->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
    found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == 4 &&
            std::memcmp(e.IPAddress.pbData, address, 4) == 0;
  }
  LocalFree(info);
  return found;
}

bool PublicKeyHash(const CERT_CONTEXT* cert, uint8_t hash[kTlsPinSize]) {
  BYTE* der = nullptr;
  DWORD derSize = 0;
  if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                           &cert->pCertInfo->SubjectPublicKeyInfo, CRYPT_ENCODE_ALLOC_FLAG,
                           nullptr, &der, &derSize)) {
    return false;
  }
  DWORD size = kTlsPinSize;
  const bool ok = CryptHashCertificate2(L"SHA256", 0, nullptr, der, derSize, hash, &size) &&
                  size == kTlsPinSize;
  LocalFree(der);
  return ok;
}

class SchannelSession final : public TlsSession {
 public:
  explicit SchannelSession(const TlsConfig& config)
      : config_(config), target_(config.serverName.begin(), config.serverName.end()) {}
  ~SchannelSession() override {
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCredentials_) FreeCredentialsHandle(&credentials_);
  }

  bool Init(std::string* error);

  void FeedCipher(const uint8_t* data, std::size_t n) override {
    in_.insert(in_.end(), data, data + n);
  }
  void FeedCipherEnd() override { ended_ = true; }
  void TakeCipher(std::vector<uint8_t>* out) override {
    out->insert(out->end(), out_.begin(), out_.end());
    out_.clear();
  }

  State Advance() override {
    if (state_ == State::kHandshaking) Handshake();
    return state_;
  }

  std::size_t ReadPlain(uint8_t* buf, std::size_t cap) override {
    if (plainAt_ == plain_.size() && state_ == State::kOpen) Decrypt();
    const std::size_t n = std::min(cap, plain_.size() - plainAt_);
    std::memcpy(buf, plain_.data() + plainAt_, n);
    plainAt_ += n;
    if (plainAt_ == plain_.size()) {
      plain_.clear();
      plainAt_ = 0;
    }
    return n;
  }

  bool WritePlain(const uint8_t* data, std::size_t n) override;

  void Shutdown() override {
    if (state_ == State::kOpen) {
      DWORD type = SCHANNEL_SHUTDOWN;
      SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
      SecBufferDesc desc{SECBUFFER_VERSION, 1, &token};
      if (ApplyControlToken(&context_, &desc) == SEC_E_OK) Step(nullptr);
    }
    if (state_ != State::kFailed) state_ = State::kClosed;
  }

  const std::string& FailureText() const override { return failure_; }

 private:
  void Fail(const char* prefix, const std::string& why) {
    if (state_ == State::kFailed) return;
    state_ = State::kFailed;
    failure_ = prefix + why;
  }
  SECURITY_STATUS Step(SecBufferDesc* input);
  void Handshake();
  void Decrypt();
  std::string Verify();
  // Drops what SSPI consumed of in_: all of it unless `extra` says how much
  // is left over at its end.
  void Consume(const SecBuffer* extra) {
    if (extra == nullptr || extra->BufferType != SECBUFFER_EXTRA || extra->cbBuffer == 0) {
      in_.clear();
      return;
    }
    in_.erase(in_.begin(), in_.end() - extra->cbBuffer);
  }

  const TlsConfig config_;
  const std::wstring target_;
  StorePtr caStore_;  // the CA file's certificates (kCaFile)
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool haveCredentials_ = false;
  bool haveContext_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::vector<uint8_t> in_;   // received, not yet consumed
  std::vector<uint8_t> out_;  // to send
  std::vector<uint8_t> plain_;
  std::size_t plainAt_ = 0;
  bool ended_ = false;
  int rounds_ = 0;
  State state_ = State::kHandshaking;
  std::string failure_;
};

bool SchannelSession::Init(std::string* error) {
  if (config_.trust == TlsTrust::kCaFile) {
    caStore_.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    std::string why;
    if (!caStore_ || !ReadCertificates(config_.caPem, caStore_.get(), &why)) {
      *error = "TLS set-up failed: " + (caStore_ ? why : std::string("out of memory"));
      return false;
    }
  }
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  // TLS 1.2: every supported Windows has it; older versions are refused.
  cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  TimeStamp expiry;
  const SECURITY_STATUS status =
      AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr,
                                &credentials_, &expiry);
  if (status != SEC_E_OK) {
    *error = "TLS set-up failed: " + StatusText(status);
    return false;
  }
  haveCredentials_ = true;
  return true;
}

// One call of InitializeSecurityContext with `input` (null: the first call,
// or the close_notify after SCHANNEL_SHUTDOWN); its token goes to out_.
SECURITY_STATUS SchannelSession::Step(SecBufferDesc* input) {
  SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
  ULONG attributes = 0;
  const SECURITY_STATUS status = InitializeSecurityContextW(
      &credentials_, haveContext_ ? &context_ : nullptr,
      const_cast<SEC_WCHAR*>(target_.c_str()), kRequest, 0, 0, input, 0,
      haveContext_ ? nullptr : &context_, &output, &attributes, nullptr);
  if (!haveContext_ && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
    haveContext_ = true;
  }
  if (token.pvBuffer != nullptr) {
    const auto* bytes = static_cast<const uint8_t*>(token.pvBuffer);
    out_.insert(out_.end(), bytes, bytes + token.cbBuffer);
    FreeContextBuffer(token.pvBuffer);
  }
  return status;
}

void SchannelSession::Handshake() {
  if (!haveContext_) {
    const SECURITY_STATUS status = Step(nullptr);  // the ClientHello
    if (status != SEC_I_CONTINUE_NEEDED) Fail(kHandshakeFailed, StatusText(status));
    return;
  }
  // A bound on handshake steps guards against a loop the server could
  // steer; a real handshake needs a handful. Waiting for more bytes is no
  // step: a certificate chain may come in many small reads.
  while (!in_.empty() && state_ == State::kHandshaking && rounds_ < 64) {
    SecBuffer buffers[2] = {{static_cast<ULONG>(in_.size()), SECBUFFER_TOKEN, in_.data()},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input{SECBUFFER_VERSION, 2, buffers};
    const SECURITY_STATUS status = Step(&input);
    if (status == SEC_E_INCOMPLETE_MESSAGE) break;
    if (status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) {
      // No client certificate is ever offered; the next call goes on without.
      Consume(&buffers[1]);
      ++rounds_;
      continue;
    }
    if (status != SEC_E_OK) {
      Fail(kHandshakeFailed, StatusText(status));
      return;
    }
    // Bytes after the server's Finished are the first records of the stream.
    Consume(&buffers[1]);
    const SECURITY_STATUS sizes =
        QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (sizes != SEC_E_OK) {
      Fail(kHandshakeFailed, StatusText(sizes));
      return;
    }
    const std::string refusal = Verify();
    if (!refusal.empty()) {
      Fail(kVerifyFailed, refusal);
      return;
    }
    state_ = State::kOpen;
    return;
  }
  if (state_ == State::kHandshaking && rounds_ >= 64) {
    Fail(kHandshakeFailed, "too many handshake rounds");
  } else if (state_ == State::kHandshaking && ended_) {
    Fail(kHandshakeFailed, "the server closed the connection");
  }
}

// The certificate check; "" when the server passes, else why not.
std::string SchannelSession::Verify() {
  const CERT_CONTEXT* remote = nullptr;
  if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote) != SEC_E_OK ||
      remote == nullptr) {
    return "no certificate from the server";
  }
  CertPtr leaf(remote);

  if (config_.trust == TlsTrust::kPin) {
    uint8_t hash[kTlsPinSize];
    if (!PublicKeyHash(leaf.get(), hash)) return "cannot hash the public key";
    if (std::memcmp(hash, config_.pin.data(), kTlsPinSize) != 0) return "public key pin mismatch";
  }
  // The dates first, told apart as OpenSSL tells them.
  const LONG time = CertVerifyTimeValidity(nullptr, leaf->pCertInfo);
  if (time < 0) return "certificate is not yet valid";
  if (time > 0) return "certificate has expired";

  // The chain, with what the server sent and (CA file) the file's
  // certificates at hand.
  StorePtr extra(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
  if (!extra) return "out of memory";
  if (leaf->hCertStore != nullptr) CertAddStoreToCollection(extra.get(), leaf->hCertStore, 0, 0);
  if (caStore_) CertAddStoreToCollection(extra.get(), caStore_.get(), 0, 0);
  LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
  const CERT_CHAIN_CONTEXT* built = nullptr;
  if (!CertGetCertificateChain(nullptr, leaf.get(), nullptr, extra.get(), &para, 0, nullptr,
                               &built)) {
    return "cannot build the certificate chain (" + Hex32(GetLastError()) + ")";
  }
  ChainPtr chain(built);

  // The system's SSL policy checks the name (and the chain's soundness).
  // With a CA file or a pin the system's roots are not the trust: an
  // unknown root is let through here and judged below.
  const bool ownTrust = config_.trust != TlsTrust::kSystemStore;
  const bool byAddress = IsIpv4Literal(config_.serverName);
  if (byAddress && !HasIpAddress(leaf.get(), config_.serverName)) return "IP address mismatch";
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = (ownTrust ? kIgnoreUnknownCa : 0) | (byAddress ? kIgnoreCommonName : 0);
  ssl.pwszServerName = const_cast<WCHAR*>(target_.c_str());
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.dwFlags = ownTrust ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
    return "cannot check the certificate chain (" + Hex32(GetLastError()) + ")";
  }
  const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
  const DWORD length = simple != nullptr ? simple->cElement : 0;
  switch (static_cast<unsigned long>(status.dwError)) {
    case 0: break;
    case static_cast<unsigned long>(CERT_E_EXPIRED): return "certificate has expired";
    case static_cast<unsigned long>(CERT_E_CN_NO_MATCH): return "hostname mismatch";
    case static_cast<unsigned long>(CERT_E_UNTRUSTEDROOT):
      return length == 1 ? "self-signed certificate"
                         : "self-signed certificate in certificate chain";
    case static_cast<unsigned long>(CERT_E_CHAINING): return "unable to get local issuer certificate";
    case static_cast<unsigned long>(CERT_E_WRONG_USAGE): return "unsuitable certificate purpose";
    case static_cast<unsigned long>(TRUST_E_CERT_SIGNATURE):
      // A lone certificate the system does not trust is first of all
      // self-signed (with a CA file or a pin an unknown root is no
      // finding). Wine's chain engine now and then also finds its own
      // signature bad, and the policy then names that instead; OpenSSL
      // names the untrusted root.
      if (!ownTrust && length == 1 &&
          (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0) {
        return "self-signed certificate";
      }
      return "certificate signature failure";
    case static_cast<unsigned long>(CERT_E_REVOKED): return "certificate revoked";
    default: return "chain policy error " + Hex32(status.dwError);
  }
  // The chain's own findings, for a policy that lets one through (Wine's
  // does not report a partial chain). Revocation is not asked for, so its
  // being unknown is no finding.
  DWORD errors = chain->TrustStatus.dwErrorStatus &
                 ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                     CERT_TRUST_IS_OFFLINE_REVOCATION);
  if (ownTrust) {
    errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN);
  }
  if (errors & CERT_TRUST_IS_PARTIAL_CHAIN) return "unable to get local issuer certificate";
  if (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) {
    return length == 1 ? "self-signed certificate" : "self-signed certificate in certificate chain";
  }
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return "certificate has expired";
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
  if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "unsuitable certificate purpose";
  if (errors & CERT_TRUST_IS_REVOKED) return "certificate revoked";
  if (errors != 0) return "certificate chain error " + Hex32(errors);

  if (config_.trust == TlsTrust::kCaFile) {
    // The chain must end at one of the file's certificates, byte for byte:
    // a look-alike the server sent (same names and serial number, its own
    // key) must not pass for it.
    const CERT_CONTEXT* top = length > 0 ? simple->rgpElement[length - 1]->pCertContext : nullptr;
    bool found = false;
    for (const CERT_CONTEXT* ca = nullptr;
         top != nullptr && (ca = CertEnumCertificatesInStore(caStore_.get(), ca)) != nullptr;) {
      if (ca->cbCertEncoded == top->cbCertEncoded &&
          std::memcmp(ca->pbCertEncoded, top->pbCertEncoded, top->cbCertEncoded) == 0) {
        found = true;
        CertFreeCertificateContext(ca);  // ends the enumeration early
        break;
      }
    }
    if (!found) {
      return length == 1 && CertCompareCertificateName(X509_ASN_ENCODING,
                                                       &leaf->pCertInfo->Subject,
                                                       &leaf->pCertInfo->Issuer)
                 ? "self-signed certificate"
                 : "unable to get local issuer certificate";
    }
  }
  return "";
}

void SchannelSession::Decrypt() {
  while (state_ == State::kOpen && plain_.empty()) {
    if (in_.empty()) {
      if (ended_) Fail(kConnectionFailed, "unexpected eof while reading");
      return;
    }
    SecBuffer buffers[4] = {{static_cast<ULONG>(in_.size()), SECBUFFER_DATA, in_.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      if (ended_) Fail(kConnectionFailed, "unexpected eof while reading");
      return;
    }
    if (status == SEC_I_CONTEXT_EXPIRED) {  // close_notify
      state_ = State::kClosed;
      return;
    }
    if (status == SEC_I_RENEGOTIATE) {
      // A new handshake could bring another certificate; none is taken.
      Fail(kConnectionFailed, "the server asked to renegotiate");
      return;
    }
    if (status != SEC_E_OK) {
      Fail(kConnectionFailed, StatusText(status));
      return;
    }
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
        const auto* bytes = static_cast<const uint8_t*>(b.pvBuffer);
        plain_.insert(plain_.end(), bytes, bytes + b.cbBuffer);
      } else if (b.BufferType == SECBUFFER_EXTRA) {
        extra = &b;
      }
    }
    Consume(extra);
  }
}

bool SchannelSession::WritePlain(const uint8_t* data, std::size_t n) {
  if (state_ != State::kOpen) return false;
  std::vector<uint8_t> record;
  while (n > 0) {
    const std::size_t chunk = std::min<std::size_t>(n, sizes_.cbMaximumMessage);
    record.resize(sizes_.cbHeader + chunk + sizes_.cbTrailer);
    std::memcpy(record.data() + sizes_.cbHeader, data, chunk);
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + chunk},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
    if (status != SEC_E_OK) {
      Fail(kConnectionFailed, StatusText(status));
      return false;
    }
    // Header, data and trailer lie back to back; the trailer may come out
    // shorter than its room.
    const std::size_t size = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    out_.insert(out_.end(), record.begin(), record.begin() + static_cast<std::ptrdiff_t>(size));
    data += chunk;
    n -= chunk;
  }
  return true;
}

}  // namespace

std::unique_ptr<TlsSession> TlsSession::Create(const TlsConfig& config, std::string* error) {
  return CreateSession<SchannelSession>(config, error);
}

bool TlsSession::CheckCaPem(const std::string& pem, std::string* error) {
  return ReadCertificates(pem, nullptr, error);
}

}  // namespace Nimbo2
