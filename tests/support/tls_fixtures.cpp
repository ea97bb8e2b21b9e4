#include "support/tls_fixtures.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace kelvo {
namespace test {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

}  // namespace

TestCert MakeCert(const CertProfile& profile, const TestCert* issuer) {
  KeyPtr key(EVP_EC_gen("P-256"));
  CertPtr cert(X509_new());
  if (!key || !cert) return {};
  X509_set_version(cert.get(), 2);
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 86400L * profile.notBeforeDays);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * profile.notAfterDays);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(profile.commonName.c_str()), -1,
                             -1, 0);

  KeyPtr issuerKey;
  CertPtr issuerCert;
  if (issuer != nullptr) {
    BioPtr kb(BIO_new_mem_buf(issuer->keyPem.data(), static_cast<int>(issuer->keyPem.size())));
    BioPtr cb(BIO_new_mem_buf(issuer->certPem.data(), static_cast<int>(issuer->certPem.size())));
    issuerKey.reset(PEM_read_bio_PrivateKey(kb.get(), nullptr, nullptr, nullptr));
    issuerCert.reset(PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr));
    if (!issuerKey || !issuerCert) return {};
  }
  X509* signer = issuer != nullptr ? issuerCert.get() : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));

  std::string san;
  for (const std::string& d : profile.dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + d;
  for (const std::string& ip : profile.ipAddresses) san += (san.empty() ? "IP:" : ",IP:") + ip;
  bool ok = AddExtension(cert.get(), signer, NID_basic_constraints,
                         profile.isCa ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
            AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) {
    ok = ok && AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  }
  if (profile.isCa) {
    ok = ok && AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature") &&
         AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
  }
  if (!san.empty()) ok = ok && AddExtension(cert.get(), signer, NID_subject_alt_name, san);
  EVP_PKEY* signingKey = issuer != nullptr ? issuerKey.get() : key.get();
  if (!ok || X509_sign(cert.get(), signingKey, EVP_sha256()) <= 0) return {};

  TestCert out;
  BioPtr certOut(BIO_new(BIO_s_mem()));
  BioPtr keyOut(BIO_new(BIO_s_mem()));
  if (PEM_write_bio_X509(certOut.get(), cert.get()) != 1 ||
      PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1) {
    return {};
  }
  unsigned char* der = nullptr;
  const int n = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert.get()), &der);
  if (n <= 0) return {};
  SHA256(der, static_cast<std::size_t>(n), out.pin.data());
  OPENSSL_free(der);
  out.certPem = BioText(certOut.get());
  out.keyPem = BioText(keyOut.get());
  return out;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/kelvo-tls.XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  if (DIR* d = opendir(path_.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") std::remove((path_ + "/" + name).c_str());
    }
    closedir(d);
  }
  rmdir(path_.c_str());
}

std::string TempDir::Write(const std::string& name, const std::string& text) {
  if (path_.empty()) return "";
  const std::string file = path_ + "/" + name;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return "";
  return file;
}

using State = Nimbo2::TlsSession::State;

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool PumpTls(Nimbo2::TlsSession& s, int fd) {
  std::vector<uint8_t> out;
  s.TakeCipher(&out);
  SendAll(fd, out);  // a failed send shows up as the server's end of stream
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 10000) != 1) return false;
  uint8_t buf[4096];
  const ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n > 0) {
    s.FeedCipher(buf, static_cast<std::size_t>(n));
  } else {
    s.FeedCipherEnd();
  }
  return true;
}

State DriveHandshake(Nimbo2::TlsSession& s, int fd) {
  for (int round = 0; round < 50; ++round) {
    const State st = s.Advance();
    if (st != State::kHandshaking) {
      std::vector<uint8_t> last;  // the Finished, or a failure's alert
      s.TakeCipher(&last);
      SendAll(fd, last);
      return st;
    }
    if (!PumpTls(s, fd)) break;
  }
  return State::kHandshaking;
}

std::string ReadTls(Nimbo2::TlsSession& s, int fd, std::size_t n) {
  std::string got;
  for (int round = 0; round < 200 && got.size() < n; ++round) {
    uint8_t buf[8192];
    std::size_t k;
    while (got.size() < n &&
           (k = s.ReadPlain(buf, std::min(sizeof buf, n - got.size()))) > 0) {
      got.append(reinterpret_cast<char*>(buf), k);
    }
    if (got.size() >= n || s.Advance() != State::kOpen) break;
    if (!PumpTls(s, fd)) break;
  }
  return got;
}

bool WriteTls(Nimbo2::TlsSession& s, int fd, const std::string& text) {
  if (!s.WritePlain(reinterpret_cast<const uint8_t*>(text.data()), text.size())) return false;
  std::vector<uint8_t> out;
  s.TakeCipher(&out);
  return SendAll(fd, out);
}

}  // namespace test
}  // namespace kelvo
