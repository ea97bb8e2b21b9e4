// The name of a list entry, copied into a record's fixed-width field.
#ifndef KELVO_ROSTER_ENTRY_TEXT_H_
#define KELVO_ROSTER_ENTRY_TEXT_H_

#include <cstddef>
#include <cstdint>

#include "protocol/byte_io.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kelvo {

// Copies the text at `src` into the `Width`-byte field `dst` as
// CopyFixedText(dst, Width, src, limit) does, for a text whose terminator
// lies within both: the bytes before its first 0, then zeros to the field's
// end. The entry walker has written that terminator (the entry's last
// byte), so a list entry's name always has one. `readable` bytes from `src`
// are the message's; when they cover the field, the text is found and
// copied with whole 16-byte loads and stores instead of a search and a copy
// of its length, which matters at some 60 entries a list.
template <std::size_t Width>
inline void CopyTerminatedText(char* dst, const uint8_t* src, std::size_t readable) {
  static_assert(Width % 16 == 0 && Width <= 64, "whole 16-byte parts, one 64-bit mask");
#if defined(__SSE2__)
  if (readable >= Width) {
    // 0xFF for the first Width bytes, then 0: read from Width - n on, the
    // first n bytes keep their value.
    static constexpr struct Keep {
      uint8_t bytes[2 * Width];
      constexpr Keep() : bytes() {
        for (std::size_t k = 0; k < Width; ++k) bytes[k] = 0xFF;
      }
    } kKeep{};
    constexpr std::size_t kParts = Width / 16;
    const __m128i zero = _mm_setzero_si128();
    __m128i part[kParts];
    uint64_t zeros = 0;
    for (std::size_t k = 0; k < kParts; ++k) {
      part[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * k));
      zeros |= static_cast<uint64_t>(static_cast<uint32_t>(
                   _mm_movemask_epi8(_mm_cmpeq_epi8(part[k], zero))))
               << (16 * k);
    }
    // Not 0: the terminator is among these bytes.
    const std::size_t n = static_cast<std::size_t>(__builtin_ctzll(zeros));
    const uint8_t* const keep = kKeep.bytes + Width - n;
    for (std::size_t k = 0; k < kParts; ++k) {
      const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keep + 16 * k));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * k), _mm_and_si128(part[k], mask));
    }
    return;
  }
#endif
  CopyFixedText(dst, Width, src, readable < Width ? readable : Width);
}

}  // namespace kelvo

#endif  // KELVO_ROSTER_ENTRY_TEXT_H_
