// NimboMsgHead: the 4-byte header that begins every message.
//
//   offset 0  u16 LE  bits 0-14: total length L (header included)
//                     bit 15:    flag 1
//   offset 2  u8      bits 2-7:  category
//                     bit 0:     flag 2
//                     bit 1:     flag 3
//   offset 3  u8      message id
//
// A receiver that masks the flag bits (word & 0x7FFF, byte & 0xFC) reads the
// length, category and id unchanged.
#ifndef NIMBO2_MSG_HEAD_H_
#define NIMBO2_MSG_HEAD_H_

#include <cstddef>
#include <cstdint>

namespace Nimbo2 {

struct NimboMsgHead {
  static constexpr std::size_t kSize = 4;
  static constexpr uint16_t kLengthMask = 0x7FFF;
  static constexpr uint16_t kFlag1Bit = 0x8000;  // in the length word
  static constexpr uint8_t kCategoryMask = 0xFC;
  static constexpr uint8_t kFlag2Bit = 0x01;     // in byte 2
  static constexpr uint8_t kFlag3Bit = 0x02;     // in byte 2

  uint8_t bytes[kSize];

  // Encodes the header into `bytes`. Length is cut to 15 bits and category
  // to 6 bits.
  void SetHead(unsigned short length, unsigned char category, unsigned char id, bool flag1,
               bool flag2, bool flag3);

  // Decoders for the length, category and id of an encoded header.
  static uint16_t Length(const uint8_t* head) {
    return static_cast<uint16_t>((head[0] | (head[1] << 8)) & kLengthMask);
  }
  static uint8_t Category(const uint8_t* head) { return static_cast<uint8_t>(head[2] >> 2); }
  static uint8_t Id(const uint8_t* head) { return head[3]; }
};

static_assert(sizeof(NimboMsgHead) == NimboMsgHead::kSize, "header is 4 bytes");

}  // namespace Nimbo2

#endif  // NIMBO2_MSG_HEAD_H_
