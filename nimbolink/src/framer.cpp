#include "nimbo2/framer.h"

#include <cstring>

namespace Nimbo2 {

Framer::Framer() : buf_(new uint8_t[kCapacity]) {}

void Framer::Commit(std::size_t n) {
  const std::size_t space = ReadSpace();
  end_ += n < space ? n : space;
}

void Framer::Compact() {
  if (begin_ == 0) return;
  const std::size_t rest = end_ - begin_;
  if (rest > 0) std::memmove(buf_.get(), buf_.get() + begin_, rest);
  begin_ = 0;
  end_ = rest;
}

void Framer::Reset() {
  begin_ = 0;
  end_ = 0;
  broken_ = false;
}

}  // namespace Nimbo2
