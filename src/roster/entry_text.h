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
// byte), so a list entry's name always has one. When the field's width can
// be read from `src` (`readable` bytes are the message's), the text is
// found and copied 16 bytes at a time, without a search and a copy of its
// length: at some 60 entries a list, those calls were a fifth of the work.
template <std::size_t Width>
inline void CopyTerminatedText(char* dst, const uint8_t* src, std::size_t readable) {
  static_assert(Width % 16 == 0, "whole 16-byte parts");
#if defined(__SSE2__)
  if (readable >= Width) {
    // 16 bytes of 0xFF, then 16 of 0: from 16 - n on, the first n bytes of
    // a part keep their value.
    static constexpr struct Keep {
      uint8_t bytes[32];
      constexpr Keep() : bytes() {
        for (std::size_t k = 0; k < 16; ++k) bytes[k] = 0xFF;
      }
    } kKeep{};
    const __m128i zero = _mm_setzero_si128();
    for (std::size_t at = 0; at < Width; at += 16) {
      const __m128i part = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at));
      const unsigned zeros =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(part, zero)));
      if (zeros == 0) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), part);
        continue;
      }
      const unsigned n = static_cast<unsigned>(__builtin_ctz(zeros));
      const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeep.bytes + 16 - n));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), _mm_and_si128(part, keep));
      for (at += 16; at < Width; at += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at), zero);
      }
      return;
    }
    // Not reached: the terminator is within the field's width.
  }
#endif
  CopyFixedText(dst, Width, src, readable < Width ? readable : Width);
}

}  // namespace kelvo

#endif  // KELVO_ROSTER_ENTRY_TEXT_H_
