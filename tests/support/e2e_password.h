// The 16-byte password digest that Login carries: MD5 of the password's
// UTF-8 bytes. Header-only, so only the end-to-end tests (which link
// libcrypto) pull it in.
#ifndef KELVO_TESTS_SUPPORT_E2E_PASSWORD_H_
#define KELVO_TESTS_SUPPORT_E2E_PASSWORD_H_

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace kelvo {
namespace e2e {

inline std::array<uint8_t, 16> Password(const std::string& text) {
  std::array<uint8_t, 16> digest{};
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), md, &size, EVP_md5(), nullptr) == 1 && size == 16) {
    std::memcpy(digest.data(), md, 16);
  }
  return digest;
}

}  // namespace e2e
}  // namespace kelvo

#endif  // KELVO_TESTS_SUPPORT_E2E_PASSWORD_H_
