// Text and credential helpers: the wire speaks GBK, the seed file, the
// command line and the log speak UTF-8.
#ifndef KELVO_SERVER_TEXT_H_
#define KELVO_SERVER_TEXT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvo {
namespace server {

// Converts between UTF-8 and GBK with iconv. False when the text has a
// character the target cannot hold or is not valid in the source encoding.
bool Utf8ToGbk(const std::string& utf8, std::string* gbk);
bool GbkToUtf8(const std::string& gbk, std::string* utf8);

// For the log: the UTF-8 form of a GBK text, or its bytes escaped as \xNN
// when it does not convert.
std::string PrintableGbk(const std::string& gbk);

// The longest prefix of `gbk` of at most `maxBytes` bytes that does not cut
// a two-byte character in half.
std::string CutGbk(const std::string& gbk, std::size_t maxBytes);

using Md5Digest = std::array<uint8_t, 16>;
Md5Digest Md5(const std::string& data);

}  // namespace server
}  // namespace kelvo

#endif  // KELVO_SERVER_TEXT_H_
