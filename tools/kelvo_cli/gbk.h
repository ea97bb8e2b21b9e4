// Text conversion at the host boundary: the library speaks GBK (code page
// 936), the terminal and the scripts speak UTF-8.
#ifndef KELVO_TOOLS_KELVO_CLI_GBK_H_
#define KELVO_TOOLS_KELVO_CLI_GBK_H_

#include <cstddef>
#include <string>

namespace kelvo_cli {

// GBK bytes to UTF-8. Bytes that are not valid GBK come out as \xNN, so a
// malformed text from the wire is still shown and never dropped.
std::string GbkToUtf8(const std::string& gbk);
// A fixed-width record field: bytes up to the first NUL, at most `width`.
std::string GbkFieldToUtf8(const char* field, std::size_t width);
// UTF-8 to GBK. False when the text has a character GBK cannot encode or is
// not valid UTF-8; `out` is then unspecified.
bool Utf8ToGbk(const std::string& utf8, std::string* out);

}  // namespace kelvo_cli

#endif  // KELVO_TOOLS_KELVO_CLI_GBK_H_
