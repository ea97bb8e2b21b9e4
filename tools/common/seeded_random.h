// A small generator with a fixed algorithm (splitmix64), for the tools'
// seeded choices: the same seed gives the same numbers on every platform
// and build, which the standard distributions do not promise.
#ifndef KELVO_TOOLS_COMMON_SEEDED_RANDOM_H_
#define KELVO_TOOLS_COMMON_SEEDED_RANDOM_H_

#include <cstdint>

namespace kelvo {
namespace tools {

class SeededRandom {
 public:
  explicit SeededRandom(uint64_t seed) : state_(seed) {}
  // A start for the `n`-th item of a run seeded with `seed`: neighbouring
  // items do not get neighbouring streams.
  static uint64_t Mix(uint64_t seed, uint64_t n) {
    SeededRandom r(seed ^ (n * 0x9E3779B97F4A7C15ull));
    r.Next();
    return r.Next();
  }
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform enough in [0, n) for the small n used here; 0 when n is 0.
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
  // In [0, 1), from 53 bits.
  double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }

 private:
  uint64_t state_;
};

}  // namespace tools
}  // namespace kelvo

#endif  // KELVO_TOOLS_COMMON_SEEDED_RANDOM_H_
