// Little-endian, bounds-checked access to wire messages.
//
// Every field of every message is read and written through these helpers,
// never by casting a struct over the buffer. A read that reaches past the end
// of the buffer yields 0 for each missing byte, so a message that is shorter
// than its layout reads as if it were padded with zeros; a write past the end
// is dropped. Either way nothing outside [data, data + size) is touched.
#ifndef KELVO_PROTOCOL_BYTE_IO_H_
#define KELVO_PROTOCOL_BYTE_IO_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvo {

// Bytes of `text` before its first 0, looking at `limit` bytes at most
// (memchr stops at the first 0 it finds, so nothing past it is read).
inline std::size_t TextLength(const void* text, std::size_t limit) {
  const void* zero = std::memchr(text, 0, limit);
  return zero != nullptr ? static_cast<std::size_t>(static_cast<const uint8_t*>(zero) -
                                                    static_cast<const uint8_t*>(text))
                         : limit;
}

class ByteReader {
 public:
  ByteReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  uint8_t U8(std::size_t offset) const { return offset < size_ ? data_[offset] : 0; }
  uint16_t U16(std::size_t offset) const {
    return static_cast<uint16_t>(U8(offset) | (U8(offset + 1) << 8));
  }
  uint32_t U32(std::size_t offset) const {
    return static_cast<uint32_t>(U16(offset)) | (static_cast<uint32_t>(U16(offset + 2)) << 16);
  }
  uint64_t U64(std::size_t offset) const {
    return static_cast<uint64_t>(U32(offset)) | (static_cast<uint64_t>(U32(offset + 4)) << 32);
  }
  // The IEEE 754 double stored little-endian at `offset`, bit for bit.
  double F64(std::size_t offset) const {
    const uint64_t bits = U64(offset);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

  // Copies the text at `offset` into a fixed-width record field as
  // CopyFixedText does, reading nothing past the end: a text that would
  // start at or beyond the end is empty.
  void Text(std::size_t offset, char* field, std::size_t width) const;

  // Bytes available from `offset` to the end (0 when offset is past it).
  std::size_t Available(std::size_t offset) const { return offset < size_ ? size_ - offset : 0; }
  const uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
};

// Reads the fields of a message (or list entry) that is known to hold at
// least `Size` bytes: a fixed-size message after the dispatcher's size rule,
// an entry the entry walker took. Offsets are template arguments, so a field
// that does not lie within `Size` bytes does not compile, and nothing is
// checked at run time: these reads are on the per-message path.
template <std::size_t Size>
class FixedReader {
 public:
  explicit FixedReader(const uint8_t* data) : data_(data) {}

  template <std::size_t Offset>
  uint8_t U8() const {
    static_assert(Offset + 1 <= Size, "field past the fixed size");
    return data_[Offset];
  }
  template <std::size_t Offset>
  uint16_t U16() const {
    static_assert(Offset + 2 <= Size, "field past the fixed size");
    return static_cast<uint16_t>(data_[Offset] | (data_[Offset + 1] << 8));
  }
  template <std::size_t Offset>
  uint32_t U32() const {
    static_assert(Offset + 4 <= Size, "field past the fixed size");
    return static_cast<uint32_t>(data_[Offset]) | (static_cast<uint32_t>(data_[Offset + 1]) << 8) |
           (static_cast<uint32_t>(data_[Offset + 2]) << 16) |
           (static_cast<uint32_t>(data_[Offset + 3]) << 24);
  }

 private:
  const uint8_t* data_;
};

class ByteWriter {
 public:
  ByteWriter(uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  void U8(std::size_t offset, uint8_t v) {
    if (offset < size_) data_[offset] = v;
  }
  void U16(std::size_t offset, uint16_t v) {
    U8(offset, static_cast<uint8_t>(v));
    U8(offset + 1, static_cast<uint8_t>(v >> 8));
  }
  void U32(std::size_t offset, uint32_t v) {
    U16(offset, static_cast<uint16_t>(v));
    U16(offset + 2, static_cast<uint16_t>(v >> 16));
  }
  // Copies `n` bytes of `src` (null: zeros) to `offset`, cut at the end.
  void Bytes(std::size_t offset, const void* src, std::size_t n) {
    if (offset >= size_) return;
    if (n > size_ - offset) n = size_ - offset;
    if (src != nullptr) {
      std::memcpy(data_ + offset, src, n);
    } else {
      std::memset(data_ + offset, 0, n);
    }
  }
  // A fixed-width text field: the text's bytes up to its terminator, at most
  // `width`, then zeros to the end of the field (strncpy semantics). A null
  // text gives an all-zero field.
  void Text(std::size_t offset, std::size_t width, const char* text) {
    const std::size_t n = text != nullptr ? TextLength(text, width) : 0;
    Bytes(offset, text, n);
    Bytes(offset + n, nullptr, width - n);
  }

  uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  uint8_t* data_;
  std::size_t size_;
};

// Copies a text into a fixed-width record field as strncpy(dst, src, width)
// would, but reading at most `available` bytes of `src`: bytes up to the
// first 0, at most min(width, available), then zeros to the end of `dst`.
inline void CopyFixedText(char* dst, std::size_t width, const uint8_t* src,
                          std::size_t available) {
  const std::size_t limit = available < width ? available : width;
  const std::size_t n = limit > 0 ? TextLength(src, limit) : 0;
  if (n > 0) std::memcpy(dst, src, n);
  std::memset(dst + n, 0, width - n);
}

// CopyFixedText into a field that holds zeros already (a record just
// value-initialised): only the text's bytes are written.
inline void CopyTextToZeroed(char* dst, std::size_t width, const uint8_t* src,
                             std::size_t available) {
  const std::size_t limit = available < width ? available : width;
  const std::size_t n = limit > 0 ? TextLength(src, limit) : 0;
  if (n > 0) std::memcpy(dst, src, n);
}

inline void ByteReader::Text(std::size_t offset, char* field, std::size_t width) const {
  const std::size_t available = Available(offset);
  CopyFixedText(field, width, available > 0 ? data_ + offset : data_, available);
}

}  // namespace kelvo

#endif  // KELVO_PROTOCOL_BYTE_IO_H_
