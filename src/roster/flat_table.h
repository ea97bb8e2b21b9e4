// FlatTable: one record per unsigned 32-bit key, the key being a field of the
// record itself, stored by value.
//
// The roster is read far more often than it changes: every presence and chat
// notice finds one friend, the host looks users up and enumerates them, and
// entries come and go only with lists and results. So the layout serves the
// lookup first:
//
//   - Records lie in pages of 64, each page one allocation, each record on a
//     64-byte boundary (a UserRecord is one cache line). A stored record
//     never moves: a record handed to an enumeration callback stays where it
//     is whatever else the callback inserts or erases. An erased record's
//     slot goes on a free list (linked through its key field) for the next
//     insert; a bit per slot tells the live ones.
//   - An open-addressed index of 4-byte buckets, linear probing, at most 4/5
//     full, finds a key's slot: a bucket holds slot + 1 in its low `bits_`
//     bits and the rest of the key's hash above them, so a probe reads a
//     record only when that hash matches. A lookup touches the bucket's
//     cache line and the record's. Erasing shifts the probe run back, so
//     there are no tombstones.
//   - The ascending unsigned key order, for enumerations, is a sorted array
//     of keys beside the index. An insert above the largest key appends
//     (lists sent in key order stay O(1)); one below it is placed by a move
//     of the keys above it while a budget of moves lasts, and past that the
//     order is dropped and rebuilt by one sort at the next walk, so loading
//     a list in any order stays linear. Erased keys stay in the order until
//     a walk compacts it; walks skip them. Its room grows by an eighth at a
//     time, ahead of the entries, so that neither keeping it nor rebuilding
//     it allocates.
//
// Complexity, n entries: Find O(1) expected; Put and Erase O(1) amortized;
// a walk O(n) plus one O(n log n) sort if inserts arrived out of order
// since the last one. Memory per entry: the record, 5 to 10 bytes of index
// (the index doubles), 4 to 4.5 bytes of order and a fraction of a byte of
// page overhead; nothing is allocated to overwrite a record, look one up or
// walk the table.
//
// Not thread-safe; the client's lock guards every use.
#ifndef KELVO_ROSTER_FLAT_TABLE_H_
#define KELVO_ROSTER_FLAT_TABLE_H_

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace kelvo {

template <typename Record, uint32_t Record::*KeyField>
class FlatTable {
  static_assert(std::is_trivially_copyable<Record>::value, "records are copied as bytes");

 public:
  FlatTable() = default;
  FlatTable(const FlatTable&) = delete;
  FlatTable& operator=(const FlatTable&) = delete;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The record stored under `key`, or null.
  Record* Find(uint32_t key) { return FindRecord(key); }
  const Record* Find(uint32_t key) const { return FindRecord(key); }

  // Stores `record` under its key: a new entry, or the stored record
  // overwritten whole. True when the entry is new. Throws only when memory
  // runs out, and then leaves the table as it was.
  bool Put(const Record& record) {
    if (Record* const stored = FindRecord(record.*KeyField)) {
      *stored = record;
      return false;
    }
    Insert(record);
    return true;
  }

  // Erases the entry under `key`. False when there is none.
  bool Erase(uint32_t key) {
    const uint32_t bucket = BucketOf(key);
    if (bucket == kNoSlot) return false;
    const uint32_t slot = SlotIn(buckets_[bucket]);
    RemoveBucket(bucket);
    live_[slot >> kPageShift] &= ~(uint64_t{1} << (slot & kPageMask));
    At(slot).*KeyField = freeHead_;
    freeHead_ = slot;
    --size_;
    if (orderValid_) ++stale_;  // the key stays in the order until compacted
    ++version_;
    return true;
  }

  // Empties the table and gives its memory back.
  void clear() noexcept {
    std::vector<std::unique_ptr<Page>>().swap(pages_);
    std::vector<uint64_t>().swap(live_);
    ownedIndex_.reset();
    buckets_ = noIndex_;
    bits_ = 0;
    mask_ = 0;
    tagMask_ = ~0u;
    shift_ = 63;
    size_ = 0;
    highWater_ = 0;
    freeHead_ = kNoSlot;
    std::vector<uint32_t>().swap(order_);
    orderValid_ = true;
    stale_ = 0;
    moveBudget_ = kBaseMoveBudget;
    ++version_;
  }

  // Visits the records in ascending unsigned key order; `visit(Record&)`
  // returns false to stop. `visit` may change the table in any way (insert,
  // erase, clear): the walk holds nothing into the table across the call,
  // and when anything changed it carries on from the smallest key above the
  // one just visited.
  template <typename Visit>
  void Walk(Visit&& visit) {
    EnsureOrder();
    std::size_t pos = 0;
    for (;;) {
      uint32_t slot = kNoSlot;
      while (pos < order_.size() && (slot = SlotOf(order_[pos])) == kNoSlot) ++pos;
      if (slot == kNoSlot) return;
      const uint32_t key = order_[pos];
      const uint64_t version = version_;
      if (!visit(At(slot))) return;
      if (version_ == version) {
        ++pos;
      } else {
        EnsureOrder();
        pos = static_cast<std::size_t>(
            std::upper_bound(order_.begin(), order_.end(), key) - order_.begin());
      }
    }
  }

  // Calls `fn(Record&)` for every record in no particular order. `fn` must
  // not change the table.
  template <typename Fn>
  void ForEachStored(Fn&& fn) {
    for (std::size_t p = 0; p < pages_.size(); ++p) {
      for (uint64_t live = live_[p]; live != 0; live &= live - 1) {
        fn(pages_[p]->records[LowestBit(live)]);
      }
    }
  }

  // ---------------------------------------------------------------------
  // The std::map subset that code outside the roster and the tests read the
  // tables with: iteration in ascending key order yielding (key, record)
  // pairs, find/end, erase by iterator, count and at. An iterator denotes
  // one stored record; any insert or erase other than through it may leave
  // it dangling, as with the map.
  template <bool Const>
  class Iter {
    using Table = typename std::conditional<Const, const FlatTable, FlatTable>::type;
    using Ref = typename std::conditional<Const, const Record&, Record&>::type;

   public:
    using Entry = std::pair<const uint32_t, Ref>;
    struct Arrow {
      Entry entry;
      const Entry* operator->() const { return &entry; }
    };

    Iter() = default;
    Entry operator*() const {
      Ref record = table_->At(slot_);
      return Entry(record.*KeyField, record);
    }
    Arrow operator->() const { return Arrow{**this}; }
    Iter& operator++() {
      slot_ = table_->SlotAfter(table_->At(slot_).*KeyField);
      return *this;
    }
    bool operator==(const Iter& other) const { return slot_ == other.slot_; }
    bool operator!=(const Iter& other) const { return slot_ != other.slot_; }

   private:
    friend class FlatTable;
    Iter(Table* table, uint32_t slot) : table_(table), slot_(slot) {}
    Table* table_ = nullptr;
    uint32_t slot_ = kNoSlot;
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  iterator begin() { return iterator(this, SlotAfterOrAt(0, true)); }
  iterator end() { return iterator(this, kNoSlot); }
  const_iterator begin() const { return const_iterator(this, SlotAfterOrAt(0, true)); }
  const_iterator end() const { return const_iterator(this, kNoSlot); }
  iterator find(uint32_t key) { return iterator(this, SlotOf(key)); }
  const_iterator find(uint32_t key) const { return const_iterator(this, SlotOf(key)); }
  // Erases the entry `it` denotes; returns the one with the next key.
  iterator erase(iterator it) {
    const uint32_t key = At(it.slot_).*KeyField;
    Erase(key);
    return iterator(this, SlotAfter(key));
  }
  std::size_t count(uint32_t key) const { return SlotOf(key) == kNoSlot ? 0 : 1; }
  Record& at(uint32_t key) { return At(SlotOrThrow(key)); }
  const Record& at(uint32_t key) const { return At(SlotOrThrow(key)); }

 private:
  static constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
  static constexpr unsigned kPageShift = 6;
  static constexpr uint32_t kPageRecords = 1u << kPageShift;
  static constexpr uint32_t kPageMask = kPageRecords - 1;
  // Index sizes: 8 buckets at first; at most 2^30, so that a bucket keeps a
  // few bits of hash beside the slot (the records would fill many gigabytes
  // long before).
  static constexpr unsigned kMinBits = 3;
  static constexpr unsigned kMaxBits = 30;
  // Key moves an out-of-order insert may spend before the order is dropped:
  // this much to start with, plus four per entry after each rebuild.
  static constexpr std::size_t kBaseMoveBudget = 4096;

  struct alignas(64) Page {
    Record records[kPageRecords];
  };

  // Index of the lowest set bit of a nonzero word.
  static unsigned LowestBit(uint64_t v) {
#if defined(__GNUC__)
    return static_cast<unsigned>(__builtin_ctzll(v));
#else
    unsigned n = 0;
    while ((v & 1) == 0) {
      v >>= 1;
      ++n;
    }
    return n;
#endif
  }

  // Entries an index of 2^bits buckets may hold.
  static std::size_t MaxLoad(unsigned bits) {
    return bits == 0 ? 0 : static_cast<std::size_t>((uint64_t{1} << bits) * 4 / 5);
  }

  // Fibonacci hashing: the top bits of the product pick the home bucket;
  // the low word's bits above the slot field are the tag a bucket keeps.
  // A bucket is tag | (slot + 1), so bucket ^ Tag(h) is slot + 1 exactly
  // when the tags agree, and larger than mask_ otherwise.
  static uint64_t Mix(uint32_t key) { return uint64_t{key} * 0x9E3779B97F4A7C15ull; }
  uint32_t Home(uint64_t h) const { return static_cast<uint32_t>(h >> shift_); }
  uint32_t Tag(uint64_t h) const { return static_cast<uint32_t>(h) & tagMask_; }
  uint32_t SlotIn(uint32_t bucket) const { return (bucket & mask_) - 1; }

  Record& At(uint32_t slot) const {
    return pages_[slot >> kPageShift]->records[slot & kPageMask];
  }

  // The lookup every presence and chat notice makes: the home bucket's
  // cache line, and the record's once a tag matches.
  Record* FindRecord(uint32_t key) const {
    const uint64_t h = Mix(key);
    const uint32_t tag = static_cast<uint32_t>(h) & tagMask_;
    const uint32_t mask = mask_;
    for (std::size_t i = h >> shift_;; i = (i + 1) & mask) {
      const uint32_t bucket = buckets_[i];
      if (bucket == 0) return nullptr;
      const uint32_t slotPlusOne = bucket ^ tag;
      if (slotPlusOne <= mask) {
        Record& record = At(slotPlusOne - 1);
        if (record.*KeyField == key) return &record;
      }
    }
  }

  // The bucket that holds `key`, or kNoSlot.
  uint32_t BucketOf(uint32_t key) const {
    const uint64_t h = Mix(key);
    const uint32_t tag = Tag(h);
    for (uint32_t i = Home(h);; i = (i + 1) & mask_) {
      const uint32_t bucket = buckets_[i];
      if (bucket == 0) return kNoSlot;
      const uint32_t slotPlusOne = bucket ^ tag;
      if (slotPlusOne <= mask_ && At(slotPlusOne - 1).*KeyField == key) return i;
    }
  }

  uint32_t SlotOf(uint32_t key) const {
    const uint32_t bucket = BucketOf(key);
    return bucket == kNoSlot ? kNoSlot : SlotIn(buckets_[bucket]);
  }

  uint32_t SlotOrThrow(uint32_t key) const {
    const uint32_t slot = SlotOf(key);
    if (slot == kNoSlot) throw std::out_of_range("FlatTable::at");
    return slot;
  }

  // Enters `slot` under `key` in the first free bucket of its probe run.
  void PlaceBucket(uint32_t key, uint32_t slot) {
    const uint64_t h = Mix(key);
    uint32_t i = Home(h);
    while (buckets_[i] != 0) i = (i + 1) & mask_;
    buckets_[i] = Tag(h) | (slot + 1);
  }

  // Empties bucket `hole` and moves back each later bucket of the run that
  // may take its place, so that every key stays reachable from its home.
  void RemoveBucket(uint32_t hole) {
    const uint32_t mask = mask_;
    for (uint32_t j = (hole + 1) & mask;; j = (j + 1) & mask) {
      const uint32_t bucket = buckets_[j];
      if (bucket == 0) break;
      const uint32_t home = Home(Mix(At((bucket & mask) - 1).*KeyField));
      // Left alone if its home lies after the hole, up to j (cyclically).
      if (((j - home) & mask) >= ((j - hole) & mask)) {
        buckets_[hole] = bucket;
        hole = j;
      }
    }
    buckets_[hole] = 0;
  }

  // A new entry. Every allocation comes first, so that running out of
  // memory leaves the table as it was.
  void Insert(const Record& record) {
    const uint32_t key = record.*KeyField;
    if (size_ + 1 > MaxLoad(bits_)) Grow();
    if (order_.capacity() <= size_) order_.reserve(size_ + size_ / 8 + 8);
    if (freeHead_ == kNoSlot && highWater_ == pages_.size() * kPageRecords) {
      live_.reserve(pages_.size() + 1);
      pages_.push_back(std::unique_ptr<Page>(new Page()));
      live_.push_back(0);  // room reserved: cannot throw
    }
    uint32_t slot;
    if (freeHead_ != kNoSlot) {
      slot = freeHead_;
      freeHead_ = At(slot).*KeyField;
    } else {
      slot = highWater_++;
    }
    // A fresh slot is taken only when no slot is free, so every slot number
    // is below the largest size the index has had, and slot + 1 fits in a
    // bucket's low bits.
    assert(slot + 1 <= mask_);
    At(slot) = record;
    live_[slot >> kPageShift] |= uint64_t{1} << (slot & kPageMask);
    PlaceBucket(key, slot);
    ++size_;
    OrderInsert(key);
    ++version_;
  }

  // Doubles the index.
  void Grow() {
    const unsigned bits = bits_ == 0 ? kMinBits : bits_ + 1;
    if (bits > kMaxBits) throw std::length_error("FlatTable: too many entries");
    std::unique_ptr<uint32_t[]> buckets(new uint32_t[std::size_t{1} << bits]());
    ownedIndex_.swap(buckets);
    buckets_ = ownedIndex_.get();
    bits_ = bits;
    mask_ = (uint32_t{1} << bits) - 1;
    tagMask_ = ~mask_;
    shift_ = 64 - bits;
    for (std::size_t p = 0; p < pages_.size(); ++p) {
      for (uint64_t live = live_[p]; live != 0; live &= live - 1) {
        const auto slot = static_cast<uint32_t>(p * kPageRecords + LowestBit(live));
        PlaceBucket(At(slot).*KeyField, slot);
      }
    }
  }

  // Keeps the order in step with a new key. Never allocates: Insert has
  // made room for one more live key (erased ones may have taken it).
  void OrderInsert(uint32_t key) const {
    if (!orderValid_) return;
    if (order_.empty() || key > order_.back()) {
      if (order_.size() < order_.capacity()) {
        order_.push_back(key);
        return;
      }
    } else {
      const auto pos = std::lower_bound(order_.begin(), order_.end(), key);
      if (*pos == key) {  // erased earlier, still in the order: live again
        --stale_;
        return;
      }
      const auto moved = static_cast<std::size_t>(order_.end() - pos);
      if (order_.size() < order_.capacity() && moved <= moveBudget_) {
        moveBudget_ -= moved;
        order_.insert(pos, key);
        return;
      }
    }
    // Out of moves, or the order is full of erased keys: drop it and let
    // the next walk rebuild it.
    orderValid_ = false;
    order_.clear();
    stale_ = 0;
  }

  // Makes the order usable for a walk: rebuilt if dropped, compacted if
  // erased keys outnumber live ones (they are skipped one lookup each).
  void EnsureOrder() const {
    if (!orderValid_) {
      assert(order_.capacity() >= size_);
      order_.clear();
      for (std::size_t p = 0; p < pages_.size(); ++p) {
        for (uint64_t live = live_[p]; live != 0; live &= live - 1) {
          order_.push_back(pages_[p]->records[LowestBit(live)].*KeyField);
        }
      }
      std::sort(order_.begin(), order_.end());
      orderValid_ = true;
      stale_ = 0;
      moveBudget_ = kBaseMoveBudget + 4 * std::size_t{size_};
      ++version_;
    } else if (stale_ > 64 && stale_ > size_) {
      order_.erase(std::remove_if(order_.begin(), order_.end(),
                                  [this](uint32_t key) { return SlotOf(key) == kNoSlot; }),
                   order_.end());
      stale_ = 0;
      ++version_;
    }
  }

  // The slot of the smallest key above `key` (or at it, when `orEqual`).
  uint32_t SlotAfterOrAt(uint32_t key, bool orEqual) const {
    EnsureOrder();
    auto pos = orEqual ? std::lower_bound(order_.begin(), order_.end(), key)
                       : std::upper_bound(order_.begin(), order_.end(), key);
    for (; pos != order_.end(); ++pos) {
      const uint32_t slot = SlotOf(*pos);
      if (slot != kNoSlot) return slot;
    }
    return kNoSlot;
  }
  uint32_t SlotAfter(uint32_t key) const { return SlotAfterOrAt(key, false); }

  // The pages, and beside them a word per page whose bit i says that
  // records[i] holds an entry (apart, so that finding a record's page is
  // one indexed load).
  std::vector<std::unique_ptr<Page>> pages_;
  std::vector<uint64_t> live_;
  // The index: 2^bits_ buckets, 0 = empty. Before the first entry (and after
  // clear) it is noIndex_, two empty buckets that every key's home (0 or 1)
  // falls on, so a lookup needs no test for a missing index.
  static uint32_t noIndex_[2];
  std::unique_ptr<uint32_t[]> ownedIndex_;
  uint32_t* buckets_ = noIndex_;
  unsigned bits_ = 0;
  uint32_t mask_ = 0;    // 2^bits_ - 1
  uint32_t tagMask_ = ~0u;  // ~mask_: a hash's tag bits
  unsigned shift_ = 63;  // 64 - bits_, or 63 on noIndex_
  uint32_t size_ = 0;
  uint32_t highWater_ = 0;        // slots ever handed out
  uint32_t freeHead_ = kNoSlot;   // erased slots, linked through the key field

  // The key order (see above). A cache of the records' keys, so it may be
  // rebuilt from a const table.
  mutable std::vector<uint32_t> order_;
  mutable bool orderValid_ = true;  // else empty, rebuilt by the next walk
  mutable uint32_t stale_ = 0;      // erased keys still in order_
  mutable std::size_t moveBudget_ = kBaseMoveBudget;
  // Changes whenever an entry comes or goes or the order is rearranged, so
  // a walk knows when to find its place again by key.
  mutable uint64_t version_ = 0;
};

template <typename Record, uint32_t Record::*KeyField>
uint32_t FlatTable<Record, KeyField>::noIndex_[2] = {0, 0};

}  // namespace kelvo

#endif  // KELVO_ROSTER_FLAT_TABLE_H_
