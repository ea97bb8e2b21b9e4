#include "gbk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace kelvo_cli {
namespace {

#if defined(_WIN32)
bool Convert(unsigned fromCp, unsigned toCp, const std::string& in, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  const int wide = MultiByteToWideChar(fromCp, MB_ERR_INVALID_CHARS, in.data(),
                                       static_cast<int>(in.size()), nullptr, 0);
  if (wide <= 0) return false;
  std::wstring w(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(fromCp, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                      &w[0], wide);
  const int narrow = WideCharToMultiByte(toCp, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  if (narrow <= 0) return false;
  out->assign(static_cast<std::size_t>(narrow), '\0');
  WideCharToMultiByte(toCp, 0, w.data(), wide, &(*out)[0], narrow, nullptr, nullptr);
  return true;
}
#endif

// Converts as much as possible; on an invalid or incomplete sequence, writes
// `onInvalid(byte)` for one input byte and goes on. Returns false when any
// byte had to be replaced.
template <typename OnInvalid>
bool ConvertLenient(const char* to, const char* from, const std::string& in, std::string* out,
                    OnInvalid onInvalid) {
  out->clear();
#if defined(_WIN32)
  (void)onInvalid;
  const unsigned fromCp = std::strcmp(from, "UTF-8") == 0 ? CP_UTF8 : 936;
  const unsigned toCp = std::strcmp(to, "UTF-8") == 0 ? CP_UTF8 : 936;
  return Convert(fromCp, toCp, in, out);
#else
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    *out = in;
    return false;
  }
  bool clean = true;
  std::string src = in;
  char* inPtr = src.empty() ? nullptr : &src[0];
  std::size_t inLeft = src.size();
  char buffer[256];
  while (inLeft > 0) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    out->append(buffer, sizeof buffer - outLeft);
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      // EILSEQ or EINVAL: show the byte and resynchronise after it.
      clean = false;
      out->append(onInvalid(static_cast<unsigned char>(*inPtr)));
      ++inPtr;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return clean;
#endif
}

}  // namespace

std::string GbkToUtf8(const std::string& gbk) {
  std::string out;
  // "GBK" in glibc covers code page 936 as the library uses it.
  ConvertLenient("UTF-8", "GBK", gbk, &out, [](unsigned char byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    return std::string(escaped);
  });
  return out;
}

std::string GbkFieldToUtf8(const char* field, std::size_t width) {
  std::size_t n = 0;
  while (n < width && field[n] != '\0') ++n;
  return GbkToUtf8(std::string(field, n));
}

bool Utf8ToGbk(const std::string& utf8, std::string* out) {
  return ConvertLenient("GBK", "UTF-8", utf8, out,
                        [](unsigned char) { return std::string("?"); });
}

}  // namespace kelvo_cli
