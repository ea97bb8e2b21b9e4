#include "stats.h"

#include <dirent.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kelvo_bots {

int LatencyHistogram::Index(uint64_t v) {
  constexpr uint64_t kSub = uint64_t{1} << kSubBits;
  if (v < kSub) return static_cast<int>(v);
  const int exponent = 63 - __builtin_clzll(v);  // >= kSubBits
  const int shift = exponent - kSubBits;
  const int sub = static_cast<int>((v >> shift) & (kSub - 1));
  return ((shift + 1) << kSubBits) + sub;
}

uint64_t LatencyHistogram::Middle(int index) {
  constexpr int kSub = 1 << kSubBits;
  if (index < kSub) return static_cast<uint64_t>(index);
  const int shift = index / kSub - 1;
  const uint64_t low = (uint64_t{kSub} + static_cast<uint64_t>(index % kSub)) << shift;
  return low + ((uint64_t{1} << shift) >> 1);
}

void LatencyHistogram::Add(uint64_t micros) {
  buckets_[static_cast<std::size_t>(Index(micros))].fetch_add(1, std::memory_order_relaxed);
  uint64_t seen = max_.load(std::memory_order_relaxed);
  while (micros > seen && !max_.compare_exchange_weak(seen, micros, std::memory_order_relaxed)) {
  }
}

uint64_t LatencyHistogram::Count() const {
  uint64_t n = 0;
  for (const auto& b : buckets_) n += b.load(std::memory_order_relaxed);
  return n;
}

uint64_t LatencyHistogram::Quantile(double q) const {
  const uint64_t total = Count();
  if (total == 0) return 0;
  uint64_t rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(total)));
  if (rank == 0) rank = 1;
  // The largest value is known exactly; its bucket's middle would be less.
  if (rank >= total) return Max();
  uint64_t seen = 0;
  for (int i = 0; i < kBuckets; ++i) {
    seen += buckets_[static_cast<std::size_t>(i)].load(std::memory_order_relaxed);
    if (seen >= rank) {
      const uint64_t middle = Middle(i);
      return middle < Max() ? middle : Max();
    }
  }
  return Max();
}

void FailureTable::Add(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_[reason];
}

std::map<std::string, uint64_t> FailureTable::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

long CountDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  long n = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n - 1;  // the directory's own descriptor
}

ProcessReading ReadProcess() {
  ProcessReading r;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "Threads:") words >> r.threads;
    if (key == "VmRSS:") words >> r.rssKib;
  }
  r.descriptors = CountDescriptors();
  return r;
}

}  // namespace kelvo_bots
