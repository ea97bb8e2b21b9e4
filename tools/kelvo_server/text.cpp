#include "text.h"

#include <iconv.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace kelvo {
namespace server {
namespace {

bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::vector<char> buffer(in.size() * 4 + 4);
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char* dst = buffer.data();
  std::size_t dstLeft = buffer.size();
  const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (r == static_cast<std::size_t>(-1) || srcLeft != 0) return false;
  out->assign(buffer.data(), buffer.size() - dstLeft);
  return true;
}

}  // namespace

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  return Convert("GBK", "UTF-8", utf8, gbk);
}

bool GbkToUtf8(const std::string& gbk, std::string* utf8) {
  return Convert("UTF-8", "GBK", gbk, utf8);
}

std::string PrintableGbk(const std::string& gbk) {
  std::string utf8;
  if (GbkToUtf8(gbk, &utf8)) return utf8;
  std::string out;
  for (unsigned char c : gbk) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string CutGbk(const std::string& gbk, std::size_t maxBytes) {
  std::size_t i = 0;
  while (i < gbk.size()) {
    // A lead byte of 0x81-0xFE starts a two-byte character.
    const std::size_t step = static_cast<unsigned char>(gbk[i]) >= 0x81 ? 2 : 1;
    if (i + step > maxBytes || i + step > gbk.size()) break;
    i += step;
  }
  return gbk.substr(0, i);
}

Md5Digest Md5(const std::string& data) {
  Md5Digest digest{};
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_md5(), nullptr);
  return digest;
}

}  // namespace server
}  // namespace kelvo
