// FlatTable: one record per unsigned 32-bit key, the key being a field of the
// record itself, stored by value.
//
// The roster is read far more often than it changes: every presence and chat
// notice finds one friend, the host looks users up and enumerates them, and
// entries come and go only with lists and results. So the layout serves the
// lookup first, and costs what is stored: an idle client holds thousands of
// these tables, most with a handful of entries.
//
//   - Records lie in pages, each page one allocation. The first page holds
//     4 records, each next one twice as many up to 64, and every page after
//     that 64, its first record on a 64-byte boundary (a UserRecord is one
//     cache line; the smaller pages take the allocator's alignment rather
//     than leave free fragments beside each). A stored record never moves:
//     a record handed to an enumeration callback stays where it is whatever
//     else the callback inserts or erases. Slot numbers keep 64 per page
//     whatever the page holds (page p's records are slots 64p, 64p + 1,
//     ...), so finding a record is a shift and a mask; the smaller pages
//     leave gaps in the numbering, never in memory. An erased record's slot
//     goes on a free list (linked through its key field) for the next
//     insert; a bit per slot, kept beside the page's address, tells the
//     live ones.
//   - An open-addressed index of 4-byte buckets, linear probing, at most 4/5
//     full, finds a key's slot: a bucket holds slot + 1 in its low bits and
//     the rest of the key's hash above them, so a probe reads a record only
//     when that hash matches. A lookup touches the bucket's cache line and
//     the record's. Erasing shifts the probe run back, so there are no
//     tombstones. It starts at 8 buckets and doubles.
//   - A list is loaded in one pass (Loader): an entry costs one index probe,
//     or none when it lies in the slot after the previous entry's (a list
//     sent again in the order it was stored in), and is written straight
//     into its record.
//   - The ascending unsigned key order, for enumerations, is a sorted array
//     of keys beside the index, built by the first walk: a table nobody
//     enumerates (a bot, a relay) never holds one. From then on a list's new
//     keys are appended to it and, when the list is done, sorted and merged
//     in once. A list above the largest key (a server sending its table in
//     order) only appends; one below it moves the keys above it while a
//     budget of moves lasts, and past that the order is dropped and rebuilt
//     by one sort at the next walk, so loading lists in any order stays
//     linear. Erased keys stay in the order until a walk compacts it; walks
//     skip them. Its room grows by half at a time, ahead of the entries, so
//     that keeping it and rebuilding it never allocate.
//
// Complexity, n entries: Find O(1) expected; Put and Erase O(1) amortized
// (an insert below the largest key moves the keys above it, within the
// budget); a list of m entries O(m log m) plus the moves; a walk O(n), plus
// one O(n log n) sort when the order is built or was dropped. Memory per
// entry: the record, 5 to 10 bytes of index (the index doubles), a quarter
// of a byte of page bookkeeping, the unused part of the last page and,
// once the table has been walked, 4 to 6 bytes of order. Nothing is
// allocated to overwrite a record or look one up, nor to walk the table
// but by its first walk.
//
// Not thread-safe; the client's lock guards every use.
#ifndef KELVO_ROSTER_FLAT_TABLE_H_
#define KELVO_ROSTER_FLAT_TABLE_H_

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
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
  ~FlatTable() {
    FreePages();
    ::operator delete(static_cast<void*>(pages_));
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The record stored under `key`, or null.
  Record* Find(uint32_t key) { return FindRecord(key); }
  const Record* Find(uint32_t key) const { return FindRecord(key); }

  // Stores the entries of one list: Store each, and the key order is put
  // right once, when the loader goes (also when a Store throws). Nothing
  // else may change the table while a loader lives. `most`, when known, is
  // the most entries the list can bring: an empty table (a login has just
  // emptied it) takes room for them at once, index and page list, rather
  // than grow them step by step and leave the smaller ones behind as free
  // fragments.
  class Loader {
   public:
    explicit Loader(FlatTable& table, std::size_t most = 0)
        : table_(table), first_(table.order_.size()) {
      if (most != 0 && table.size_ == 0) table.Reserve(most);
      Refresh();
    }
    ~Loader() { table_.FinishLoad(first_); }
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;

    // Stores the entry under `key`, one index probe at most: `write(Record&)`
    // writes the stored record, or a new one holding zeros and the key, and
    // must write every field but the key. True when the entry is new.
    // Throws only when memory runs out, and then leaves the table as it
    // was.
    template <typename Write>
    bool Store(uint32_t key, Write&& write) {
      // A list sent again in the order it was stored in finds each entry in
      // the slot after the previous one's: looked at before the index.
      if ((nextLive_ & 1) != 0 && next_->*KeyField == key) {
        Record& record = *next_;
        Follow(record, nextLive_ >> 1);
        write(record);
        return false;
      }
      // The probe that looks for the key ends, when the key is not there,
      // at the empty bucket the new entry takes.
      const uint64_t h = Mix(key);
      const uint32_t tag = static_cast<uint32_t>(h) & kTagMask;
      uint32_t i = static_cast<uint32_t>(h >> shift_);
      for (;; i = (i + 1) & mask_) {
        const uint32_t bucket = buckets_[i];
        if (bucket == 0) break;
        const uint32_t slot = (bucket ^ tag) - 1;
        if (slot < kSlotField) {
          Record& record = pages_[slot >> kPageShift][slot & kPageMask];
          if (record.*KeyField == key) {
            Follow(record, FollowingLive(slot));
            write(record);
            return false;
          }
        }
      }
      if (!table_.HasRoom()) {
        table_.MakeRoom();
        i = table_.FreeBucket(h);
        Refresh();
      }
      const uint32_t slot = table_.TakeSlot(key, h, i);
      Record& record = pages_[slot >> kPageShift][slot & kPageMask];
      Follow(record, FollowingLive(slot));
      write(record);
      return true;
    }

   private:
    // The table's index and pages as the probe reads them, held here so
    // that writing a record (which may alias anything) does not make the
    // next probe load them again. Stale only after MakeRoom.
    void Refresh() {
      buckets_ = table_.buckets_;
      pages_ = table_.pages_;
      live_ = table_.live_;
      mask_ = table_.mask_;
      shift_ = table_.shift_;
    }

    // The live bits of the slots after `slot` in its page (none past the
    // page's last).
    uint64_t FollowingLive(uint32_t slot) const {
      const unsigned at = (slot & kPageMask) + 1;
      return at < kPageRecords ? live_[slot >> kPageShift] >> at : 0;
    }
    // The next Store looks at the record after `record` first; its bit 0
    // of `live` says whether that slot holds an entry. Nothing erases while
    // a loader lives, so a slot said to hold one does; a slot filled since
    // is only not looked at.
    void Follow(Record& record, uint64_t live) {
      next_ = &record + 1;
      nextLive_ = live;
    }

    FlatTable& table_;
    const std::size_t first_;  // where this list's new keys begin in the order
    const uint32_t* buckets_;
    Record* const* pages_;
    const uint64_t* live_;
    Record* next_ = nullptr;  // the record after the one stored last
    uint64_t nextLive_ = 0;   // live bits from next_ on, within its page
    uint32_t mask_;
    unsigned shift_;
  };

  // Stores `record` under its key: a new entry, or the stored record
  // overwritten whole. True when the entry is new. Throws only when memory
  // runs out, and then leaves the table as it was.
  bool Put(const Record& record) {
    Loader load(*this);
    return load.Store(record.*KeyField, [&record](Record& stored) { stored = record; });
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
    ++freeCount_;
    --size_;
    if (orderValid_) ++stale_;  // the key stays in the order until compacted
    ++version_;
    return true;
  }

  // Empties the table and gives its memory back.
  void clear() noexcept {
    FreePages();
    ::operator delete(static_cast<void*>(pages_));
    pages_ = nullptr;
    live_ = nullptr;
    pageCount_ = 0;
    pageRoom_ = 0;
    ownedIndex_.reset();
    buckets_ = noIndex_;
    bits_ = 0;
    mask_ = 0;
    maxLoad_ = 0;
    shift_ = 63;
    size_ = 0;
    freshSlot_ = 0;
    freshEnd_ = 0;
    freeHead_ = kNoSlot;
    freeCount_ = 0;
    roomEnd_ = 0;
    std::vector<uint32_t>().swap(order_);
    orderValid_ = false;
    orderKept_ = false;
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
    for (std::size_t p = 0; p < pageCount_; ++p) {
      for (uint64_t live = live_[p]; live != 0; live &= live - 1) {
        fn(pages_[p][LowestBit(live)]);
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
  // Erases the entry `it` denotes; returns the one with the next key. Never
  // allocates: without an order the next key is looked for among the
  // records.
  iterator erase(iterator it) {
    const uint32_t key = At(it.slot_).*KeyField;
    Erase(key);
    return iterator(this, orderValid_ ? SlotAfter(key) : ScanAfter(key));
  }
  std::size_t count(uint32_t key) const { return SlotOf(key) == kNoSlot ? 0 : 1; }
  Record& at(uint32_t key) { return At(SlotOrThrow(key)); }
  const Record& at(uint32_t key) const { return At(SlotOrThrow(key)); }

 private:
  static constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
  // Slot numbers: 64 per page, the page's records first.
  static constexpr unsigned kPageShift = 6;
  static constexpr uint32_t kPageRecords = 1u << kPageShift;
  static constexpr uint32_t kPageMask = kPageRecords - 1;
  // The first page's records; the pages before the first full one double.
  static constexpr uint32_t kFirstPageRecords = 4;
  static constexpr std::size_t kGrowingPages = 4;  // 4, 8, 16, 32
  static constexpr std::size_t kPageAlign = 64;
  // A bucket: slot + 1 in the low 24 bits, 8 bits of the key's hash above
  // (fixed widths, so that a probe tests them against constants). Slot
  // numbers then stop below 2^24 - 1, 262,143 pages: some 16.7 million
  // entries, a gigabyte of user records.
  static constexpr unsigned kSlotBits = 24;
  static constexpr uint32_t kSlotField = (uint32_t{1} << kSlotBits) - 1;
  static constexpr uint32_t kTagMask = ~kSlotField;
  static constexpr std::size_t kMaxPages = (std::size_t{kSlotField} >> kPageShift);
  // Index sizes: 8 buckets at first; at most 2^25, which holds as many
  // entries as there are slots.
  static constexpr unsigned kMinBits = 3;
  static constexpr unsigned kMaxBits = 25;
  // Key moves an out-of-order insert may spend before the order is dropped:
  // this much to start with, plus four per entry after each rebuild.
  static constexpr std::size_t kBaseMoveBudget = 4096;
  // New keys a list may merge into the order at once (a 1,440-byte list
  // has at most 159 entries); more, and the order is rebuilt by the next
  // walk.
  static constexpr std::size_t kMergeMax = 256;

  static uint32_t PageRecords(std::size_t page) {
    return page < kGrowingPages ? kFirstPageRecords << page : kPageRecords;
  }

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

  // Fibonacci hashing: the top bits of the product pick the home bucket;
  // the low word's bits above the slot field are the tag a bucket keeps.
  // A bucket is tag | (slot + 1), so bucket ^ Tag(h) is slot + 1 exactly
  // when the tags agree, and larger than kSlotField otherwise.
  static uint64_t Mix(uint32_t key) { return uint64_t{key} * 0x9E3779B97F4A7C15ull; }
  uint32_t Home(uint64_t h) const { return static_cast<uint32_t>(h >> shift_); }
  static uint32_t Tag(uint64_t h) { return static_cast<uint32_t>(h) & kTagMask; }
  static uint32_t SlotIn(uint32_t bucket) { return (bucket & kSlotField) - 1; }

  Record& At(uint32_t slot) const {
    return pages_[slot >> kPageShift][slot & kPageMask];
  }

  // The lookup every presence and chat notice makes: the home bucket's
  // cache line, and the record's once a tag matches.
  Record* FindRecord(uint32_t key) const {
    const uint64_t h = Mix(key);
    const uint32_t tag = Tag(h);
    const uint32_t mask = mask_;
    for (std::size_t i = h >> shift_;; i = (i + 1) & mask) {
      const uint32_t bucket = buckets_[i];
      if (bucket == 0) return nullptr;
      const uint32_t slotPlusOne = bucket ^ tag;
      if (slotPlusOne <= kSlotField) {
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
      if (slotPlusOne <= kSlotField && At(slotPlusOne - 1).*KeyField == key) return i;
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

  // The first empty bucket of the probe run from hash `h`'s home.
  uint32_t FreeBucket(uint64_t h) const {
    uint32_t i = Home(h);
    while (buckets_[i] != 0) i = (i + 1) & mask_;
    return i;
  }

  // Empties bucket `hole` and moves back each later bucket of the run that
  // may take its place, so that every key stays reachable from its home.
  void RemoveBucket(uint32_t hole) {
    const uint32_t mask = mask_;
    for (uint32_t j = (hole + 1) & mask;; j = (j + 1) & mask) {
      const uint32_t bucket = buckets_[j];
      if (bucket == 0) break;
      const uint32_t home = Home(Mix(At(SlotIn(bucket)).*KeyField));
      // Left alone if its home lies after the hole, up to j (cyclically).
      if (((j - home) & mask) >= ((j - hole) & mask)) {
        buckets_[hole] = bucket;
        hole = j;
      }
    }
    buckets_[hole] = 0;
  }

  // Whether a new entry can be stored without allocating: the index below
  // its load limit, a free or fresh slot, and room in a kept order.
  bool HasRoom() const { return size_ < roomEnd_; }

  // Makes the room HasRoom asks for. Every allocation comes before the
  // first change of an entry, so that running out of memory leaves the
  // table as it was; a grown index is not a change of its entries. Out of
  // line: the probe loop that may call it stays small.
#if defined(__GNUC__)
  __attribute__((noinline))
#endif
  void MakeRoom() {
    if (size_ >= maxLoad_) Grow();
    // The order's room grows ahead of the entries, so that neither keeping
    // it nor rebuilding it allocates.
    if (orderKept_ && order_.capacity() <= size_) order_.reserve(size_ + size_ / 2 + 8);
    if (freeHead_ == kNoSlot && freshSlot_ == freshEnd_) AddPage();
    SetRoomEnd();
  }

  // Room for `entries` entries in the index and the page list. Allocates
  // and changes no entry.
#if defined(__GNUC__)
  __attribute__((noinline))
#endif
  void Reserve(std::size_t entries) {
    if (entries > kSlotField) return;
    unsigned bits = bits_ == 0 ? kMinBits : bits_;
    while ((uint64_t{1} << bits) * 4 / 5 < entries && bits < kMaxBits) ++bits;
    if (bits_ < bits) GrowIndex(bits);
    std::size_t pages = 0;
    for (std::size_t held = 0; held < entries; ++pages) held += PageRecords(pages);
    if (pages > pageRoom_) GrowSpine(static_cast<uint32_t>(pages));
    SetRoomEnd();
  }

  // How many entries the table may hold before MakeRoom must run again:
  // each new entry takes a slot (free or fresh), a place under the index's
  // load limit and, when the order is kept, room in it. An erase only adds
  // room, so the figure stays good until the table is cleared.
  void SetRoomEnd() const {
    uint64_t end =
        std::min<uint64_t>(maxLoad_, uint64_t{size_} + freeCount_ + (freshEnd_ - freshSlot_));
    if (orderKept_) end = std::min<uint64_t>(end, order_.capacity());
    roomEnd_ = static_cast<uint32_t>(end);
  }

  // A new entry under `key`, whose probe ended at the empty bucket `bucket`,
  // with room made: its slot, zeroed and holding the key, entered in the
  // index and (unsorted, until the list is done) in the order.
  uint32_t TakeSlot(uint32_t key, uint64_t h, uint32_t bucket) {
    uint32_t slot;
    if (freeHead_ != kNoSlot) {
      slot = freeHead_;
      freeHead_ = At(slot).*KeyField;
      --freeCount_;
    } else {
      slot = freshSlot_++;
    }
    assert(slot + 1 <= kSlotField);
    Record& record = At(slot);
    std::memset(static_cast<void*>(&record), 0, sizeof record);
    record.*KeyField = key;
    live_[slot >> kPageShift] |= uint64_t{1} << (slot & kPageMask);
    buckets_[bucket] = Tag(h) | (slot + 1);
    ++size_;
    if (orderValid_) {
      // Sorted in when the list is done (FinishLoad). Erased keys may have
      // taken the room made for this one.
      if (order_.size() < order_.capacity()) {
        order_.push_back(key);
      } else {
        DropOrder();
      }
    }
    ++version_;
    return slot;
  }

  // A new page after the last, its records not yet written (a record is
  // zeroed when it is taken). A full page's records start on a 64-byte
  // boundary, found in an allocation 64 bytes larger, whose start is kept
  // in the 8 bytes before them; the smaller pages come from the allocator
  // as they are.
  void AddPage() {
    const std::size_t page = pageCount_;
    if (page == kMaxPages) throw std::length_error("FlatTable: too many entries");
    if (pageCount_ == pageRoom_) GrowSpine(pageRoom_ == 0 ? 1 : 2 * pageRoom_);
    const uint32_t records = PageRecords(page);
    Record* first;
    if (page < kGrowingPages) {
      first = static_cast<Record*>(::operator new(records * sizeof(Record)));
    } else {
      auto* const memory =
          static_cast<unsigned char*>(::operator new(records * sizeof(Record) + kPageAlign));
      // The allocator's alignment (8 or more) leaves 8 bytes or more before.
      const auto start = reinterpret_cast<std::uintptr_t>(memory);
      auto* const aligned = memory + (kPageAlign - (start & (kPageAlign - 1)));
      std::memcpy(aligned - sizeof memory, &memory, sizeof memory);
      first = reinterpret_cast<Record*>(aligned);
    }
    pages_[page] = first;
    live_[page] = 0;
    ++pageCount_;
    freshSlot_ = static_cast<uint32_t>(page << kPageShift);
    freshEnd_ = freshSlot_ + records;
  }

  // Room for `room` pages: their addresses, then their live words, in one
  // allocation.
  void GrowSpine(uint32_t room) {
    void* const memory = ::operator new(room * (sizeof(Record*) + sizeof(uint64_t)));
    auto* const pages = static_cast<Record**>(memory);
    auto* const live = reinterpret_cast<uint64_t*>(pages + room);
    if (pageCount_ != 0) {
      std::memcpy(pages, pages_, pageCount_ * sizeof(Record*));
      std::memcpy(live, live_, pageCount_ * sizeof(uint64_t));
    }
    ::operator delete(static_cast<void*>(pages_));
    pages_ = pages;
    live_ = live;
    pageRoom_ = room;
  }

  void FreePages() noexcept {
    for (std::size_t p = 0; p < pageCount_; ++p) {
      auto* const first = reinterpret_cast<unsigned char*>(pages_[p]);
      if (p < kGrowingPages) {
        ::operator delete(first);
      } else {
        unsigned char* memory;
        std::memcpy(&memory, first - sizeof memory, sizeof memory);
        ::operator delete(memory);
      }
    }
  }

  // Doubles the index.
  void Grow() { GrowIndex(bits_ == 0 ? kMinBits : bits_ + 1); }

  // An index of 2^bits buckets (more than it has) holding every entry.
  void GrowIndex(unsigned bits) {
    if (bits > kMaxBits) throw std::length_error("FlatTable: too many entries");
    // calloc: a large index comes as fresh pages, zero already.
    std::unique_ptr<uint32_t, FreeIndex> buckets(
        static_cast<uint32_t*>(std::calloc(std::size_t{1} << bits, sizeof(uint32_t))));
    if (!buckets) throw std::bad_alloc();
    ownedIndex_.swap(buckets);
    buckets_ = ownedIndex_.get();
    bits_ = bits;
    mask_ = (uint32_t{1} << bits) - 1;
    maxLoad_ = static_cast<uint32_t>((uint64_t{1} << bits) * 4 / 5);
    shift_ = 64 - bits;
    for (std::size_t p = 0; p < pageCount_; ++p) {
      const Record* const records = pages_[p];
      const auto first = static_cast<uint32_t>(p << kPageShift);
      for (uint64_t live = live_[p]; live != 0; live &= live - 1) {
        const unsigned at = LowestBit(live);
        const uint64_t h = Mix(records[at].*KeyField);
        buckets_[FreeBucket(h)] = Tag(h) | (first + at + 1);
      }
    }
  }

  void DropOrder() const {
    orderValid_ = false;
    order_.clear();
    stale_ = 0;
  }

  // The end of a list: its new keys, appended to the order from `first` on,
  // are sorted and merged in. Allocates nothing, throws nothing.
  void FinishLoad(std::size_t first) noexcept {
    if (!orderValid_ || order_.size() <= first) return;
    uint32_t* const keys = order_.data();
    const std::size_t end = order_.size();
    if (!std::is_sorted(keys + first, keys + end)) std::sort(keys + first, keys + end);
    if (first == 0 || keys[first - 1] < keys[first]) return;  // all above the largest
    // The keys from the smallest new one up move; an equal one is an erased
    // key still in the order, live again.
    const std::size_t from =
        static_cast<std::size_t>(std::lower_bound(keys, keys + first, keys[first]) - keys);
    const std::size_t added = end - first;
    if (first - from > moveBudget_ || added > kMergeMax) {
      DropOrder();
      return;
    }
    moveBudget_ -= first - from;
    uint32_t fresh[kMergeMax];
    std::copy(keys + first, keys + end, fresh);
    // From the top down: the larger of the two next keys goes to the end.
    std::size_t i = first, j = added, out = end;
    while (j > 0) {
      if (i > from && keys[i - 1] > fresh[j - 1]) {
        keys[--out] = keys[--i];
      } else if (i > from && keys[i - 1] == fresh[j - 1]) {
        --j;  // kept once, where it was
        assert(stale_ > 0);
        --stale_;
      } else {
        keys[--out] = fresh[--j];
      }
    }
    // Keys that were there already leave a gap of as many places.
    if (out != i) {
      std::copy(keys + out, keys + end, keys + i);
      order_.resize(end - (out - i));
    }
    ++version_;
  }

  // Makes the order usable for a walk: built by the first walk (the only
  // time a walk allocates), rebuilt if dropped, compacted if erased keys
  // outnumber live ones (they are skipped one lookup each).
  void EnsureOrder() const {
    if (!orderValid_) {
      if (!orderKept_) {
        // Room for an eighth more: the lists of a login are in by now.
        order_.reserve(size_ + size_ / 8 + 8);
        orderKept_ = true;
        SetRoomEnd();
      }
      assert(order_.capacity() >= size_);
      order_.clear();
      for (std::size_t p = 0; p < pageCount_; ++p) {
        for (uint64_t live = live_[p]; live != 0; live &= live - 1) {
          order_.push_back(pages_[p][LowestBit(live)].*KeyField);
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

  // The slot of the smallest key above `key`, by looking at every record.
  uint32_t ScanAfter(uint32_t key) const {
    uint32_t best = kNoSlot;
    for (std::size_t p = 0; p < pageCount_; ++p) {
      for (uint64_t live = live_[p]; live != 0; live &= live - 1) {
        const auto slot = static_cast<uint32_t>((p << kPageShift) + LowestBit(live));
        const uint32_t k = At(slot).*KeyField;
        if (k > key && (best == kNoSlot || k < At(best).*KeyField)) best = slot;
      }
    }
    return best;
  }

  // The pages: each one's first record, and beside those, in the same
  // allocation, a word per page whose bit i says that record i holds an
  // entry (apart, so that finding a record's page is one indexed load).
  Record** pages_ = nullptr;
  uint64_t* live_ = nullptr;
  uint32_t pageCount_ = 0;
  uint32_t pageRoom_ = 0;
  // The index: 2^bits_ buckets, 0 = empty. Before the first entry (and after
  // clear) it is noIndex_, two empty buckets that every key's home (0 or 1)
  // falls on, so a lookup needs no test for a missing index.
  static uint32_t noIndex_[2];
  struct FreeIndex {
    void operator()(uint32_t* buckets) const { std::free(buckets); }
  };
  std::unique_ptr<uint32_t, FreeIndex> ownedIndex_;
  uint32_t* buckets_ = noIndex_;
  uint32_t mask_ = 0;       // 2^bits_ - 1
  uint32_t maxLoad_ = 0;    // entries the index may hold: 4/5 of its buckets
  unsigned bits_ = 0;
  unsigned shift_ = 63;     // 64 - bits_, or 63 on noIndex_
  uint32_t size_ = 0;
  uint32_t freshSlot_ = 0;  // the next never-used slot of the last page
  uint32_t freshEnd_ = 0;   // the last page's end
  uint32_t freeHead_ = kNoSlot;  // erased slots, linked through the key field
  uint32_t freeCount_ = 0;       // and how many
  mutable uint32_t roomEnd_ = 0;  // entries held before MakeRoom (HasRoom)

  // The key order (see above). A cache of the records' keys, so it may be
  // rebuilt from a const table.
  mutable std::vector<uint32_t> order_;
  mutable bool orderValid_ = false;  // else empty, rebuilt by the next walk
  mutable bool orderKept_ = false;   // built once: new keys go in, room is kept
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
