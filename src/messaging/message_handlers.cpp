// Handlers of the messages that carry text for the user: chat (ids 9, 68 and
// 73), offline messages (70), system notices (62) and info notices (63).
//
// Each one ends its text in place and passes the fields through to the sink.
// Texts and the offline message's block go to the host by address into the
// received message. The handlers keep no state and touch no table.
#include "core/im_server_client.h"
#include "messaging/messaging_layouts.h"
#include "nimbo2/msg_head.h"
#include "protocol/message_ids.h"
#include "protocol/byte_io.h"

namespace kelvo {

namespace {

const char kEmptyText[] = "";

// A message's text: it starts at `textOffset` and runs to the end of the
// message. Its last byte becomes the terminator (a sender that fills the
// text to the end has given it none). A message that ends before the text
// starts carries an empty text, and its fixed fields are left as sent.
const char* TerminateText(uint8_t* message, std::size_t length, std::size_t textOffset) {
  if (length <= textOffset) return kEmptyText;
  message[length - 1] = 0;
  return reinterpret_cast<const char*>(message + textOffset);
}

// System message type 1..4 gives kinds 2..5; any other type is a plain notice.
MessageKind SystemMessageKind(uint32_t type) {
  if (type >= 1 && type <= 4) return static_cast<MessageKind>(MESSAGE_KIND_SYSTEM_TYPE1 + type - 1);
  return MESSAGE_KIND_NOTICE;
}

// Info flags: the lowest of bits 0..6 picks kinds 6..12; bit 7 means kind 13
// whatever else is set; no bit at all is a plain notice. Only the low byte
// of the flags word counts.
MessageKind InfoMessageKind(uint8_t flags) {
  if (flags & 0x80) return MESSAGE_KIND_INFO_BIT7;
  for (unsigned bit = 0; bit < 7; ++bit) {
    if (flags & (1u << bit)) return static_cast<MessageKind>(MESSAGE_KIND_INFO_BIT0 + bit);
  }
  return MESSAGE_KIND_NOTICE;
}

}  // namespace

uint32_t ImServerClient::HandleSendMessage(uint32_t, uint8_t* message) {
  namespace f = layout::send_message;
  const std::size_t length = MessageLength(message);
  const char* text = TerminateText(message, length, f::kText);
  if (!sink_) return 0;
  const ByteReader in(message, length);
  sink_->OnChatMessage(MESSAGE_KIND_CHAT, in.U32(f::kSender), text, in.U8(f::kChat1),
                       in.U8(f::kChat2), in.U8(f::kChat3));
  return 0;
}

uint32_t ImServerClient::HandleSendMessageEx(uint32_t, uint8_t* message) {
  namespace f = layout::send_message_ex;
  const std::size_t length = MessageLength(message);
  const char* text = TerminateText(message, length, f::kText);
  if (!sink_) return 0;
  const ByteReader in(message, length);
  sink_->OnChatMessageEx(MESSAGE_KIND_CHAT, in.U32(f::kSender), in.F64(f::kValue), text,
                         in.U8(f::kChat1), in.U8(f::kChat2), in.U8(f::kChat3));
  return 0;
}

uint32_t ImServerClient::HandleUserChat(uint32_t, uint8_t* message) {
  namespace f = layout::user_chat;
  const std::size_t length = MessageLength(message);
  const char* text = TerminateText(message, length, f::kText);
  if (!sink_) return 0;
  const ByteReader in(message, length);
  sink_->OnChatMessage(MESSAGE_KIND_CHAT, in.U32(f::kSender), text, in.U8(f::kChat1),
                       in.U8(f::kChat2), in.U8(f::kChat3));
  return 0;
}

uint32_t ImServerClient::HandleOfflineMessage(uint32_t, uint8_t* message) {
  namespace f = layout::offline_message;
  const std::size_t length = MessageLength(message);
  const char* text = TerminateText(message, length, f::kText);
  if (!sink_) return 0;
  // The dispatcher admits no offline message shorter than its fixed part;
  // should one get here all the same, the host gets a zero block rather
  // than an address past the message.
  static const uint8_t kZeroBlock[f::kBlockSize] = {};
  const uint8_t* block = length >= f::kBlock + f::kBlockSize ? message + f::kBlock : kZeroBlock;
  const ByteReader in(message, length);
  sink_->OnOfflineMessage(MESSAGE_KIND_CHAT, in.U32(f::kSender), in.F64(f::kValue), text,
                          in.U8(f::kChat1), in.U8(f::kChat2), in.U8(f::kChat3), block,
                          in.U32(f::kExtra));
  return 0;
}

uint32_t ImServerClient::HandleSystemMessage(uint32_t, uint8_t* message) {
  namespace f = layout::system_message;
  const std::size_t length = MessageLength(message);
  const char* text = TerminateText(message, length, f::kText);
  if (!sink_) return 0;
  const ByteReader in(message, length);
  sink_->OnChatMessage(SystemMessageKind(in.U32(f::kType)), in.U8(f::kSource), text,
                       in.U8(f::kValue1), in.U8(f::kValue2), in.U8(f::kValue3));
  return 0;
}

uint32_t ImServerClient::HandleInfoMessage(uint32_t, uint8_t* message) {
  namespace f = layout::info_message;
  const std::size_t length = MessageLength(message);
  const char* text = TerminateText(message, length, f::kText);
  if (!sink_) return 0;
  const ByteReader in(message, length);
  sink_->OnChatMessage(InfoMessageKind(in.U8(f::kFlags)), in.U32(f::kSender), text, 0, 0, 0);
  return 0;
}

}  // namespace kelvo
