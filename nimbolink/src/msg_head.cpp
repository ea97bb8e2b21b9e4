#include "nimbo2/msg_head.h"

namespace Nimbo2 {

void NimboMsgHead::SetHead(unsigned short length, unsigned char category, unsigned char id,
                           bool flag1, bool flag2, bool flag3) {
  uint16_t word = static_cast<uint16_t>(length & kLengthMask);
  if (flag1) word = static_cast<uint16_t>(word | kFlag1Bit);
  uint8_t byte2 = static_cast<uint8_t>((category & 0x3F) << 2);
  if (flag2) byte2 = static_cast<uint8_t>(byte2 | kFlag2Bit);
  if (flag3) byte2 = static_cast<uint8_t>(byte2 | kFlag3Bit);
  bytes[0] = static_cast<uint8_t>(word & 0xFF);
  bytes[1] = static_cast<uint8_t>(word >> 8);
  bytes[2] = byte2;
  bytes[3] = id;
}

}  // namespace Nimbo2
