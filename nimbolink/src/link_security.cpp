#include "nimbo2/link_security.h"

#include <cstdio>
#include <cstring>
#include <memory>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "tls_session.h"

namespace Nimbo2 {

namespace {

bool IsLabelByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

std::FILE* OpenForReading(const char* path) {
#if defined(_WIN32)
  // The library's texts are in code page 936, whatever the system's.
  const int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  if (MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, path, -1, &wide[0], n) != n) return nullptr;
  return _wfopen(wide.c_str(), L"rb");
#else
  return std::fopen(path, "rb");
#endif
}

}  // namespace

bool IsIpv4Literal(const std::string& name) {
  int parts = 0;
  std::size_t i = 0;
  while (i < name.size()) {
    const std::size_t start = i;
    unsigned value = 0;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9' && i - start < 3) {
      value = value * 10 + static_cast<unsigned>(name[i] - '0');
      ++i;
    }
    const std::size_t digits = i - start;
    if (digits == 0 || value > 255 || (digits > 1 && name[start] == '0')) return false;
    ++parts;
    if (i == name.size()) break;
    if (name[i] != '.' || parts == 4) return false;
    ++i;
    if (i == name.size()) return false;  // trailing dot
  }
  return parts == 4;
}

bool IsValidServerName(const char* name) {
  if (name == nullptr) return false;
  const std::size_t size = std::strlen(name);
  if (size == 0 || size > kMaxServerName) return false;
  if (IsIpv4Literal(name)) return true;
  std::size_t label = 0;
  bool numeric = true;  // the last label so far is all digits
  for (std::size_t i = 0; i < size; ++i) {
    if (name[i] == '.') {
      if (label == 0) return false;  // leading dot, empty label
      label = 0;
      numeric = true;
      continue;
    }
    if (!IsLabelByte(name[i]) || ++label > 63) return false;
    if (name[i] < '0' || name[i] > '9') numeric = false;
  }
  // No trailing dot (SNI forbids it), and no all-digit top label: such a
  // name is a mistyped address ("10.0.0.256"), never a DNS name.
  return label != 0 && !numeric;
}

bool IsValidProxyText(const char* text) {
  if (text == nullptr) return false;
  const std::size_t size = std::strlen(text);
  return size >= 1 && size <= kMaxProxyText;
}

bool LoadCaFile(const char* path, std::string* pem, std::string* error) {
  if (path == nullptr || *path == '\0') {
    *error = "no CA file named";
    return false;
  }
  std::unique_ptr<std::FILE, FileCloser> file(OpenForReading(path));
  if (!file) {
    *error = std::string("cannot open the CA file ") + path;
    return false;
  }
  std::string text;
  char chunk[16384];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    if (text.size() + n > kMaxCaFileBytes) {
      *error = "the CA file is larger than 4 MiB";
      return false;
    }
    text.append(chunk, n);
  }
  if (std::ferror(file.get())) {
    *error = std::string("cannot read the CA file ") + path;
    return false;
  }
  if (!TlsSession::CheckCaPem(text, error)) return false;
  *pem = std::move(text);
  return true;
}

}  // namespace Nimbo2
