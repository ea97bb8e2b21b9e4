// The records that cross the host boundary, as this build lays them out:
// every field's offset and size, each record's size and alignment, printed
// as a table and checked against the one layout every host uses, whatever
// its compiler or processor (x86_64, i686, aarch64, 32-bit ARM). The header's
// static_asserts pin most offsets; this also covers the field widths, the
// alignment a host's array of records depends on, and the records the
// asserts only size (GUID, SearchUserResult).
#include <cstddef>
#include <cstdio>
#include <limits>
#include <vector>

#include "gtest/gtest.h"
#include "kelvo/kelvo_types.h"

namespace kelvo {
namespace {

struct FieldRow {
  const char* record;
  const char* field;
  std::size_t offset;
  std::size_t size;
  std::size_t expectedOffset;
  std::size_t expectedSize;
};

struct RecordRow {
  const char* record;
  std::size_t size;
  std::size_t align;
  std::size_t expectedSize;
  std::size_t expectedAlign;
};

#define KELVO_FIELD(type, field, offset, size) \
  FieldRow { #type, #field, offsetof(type, field), sizeof(type::field), offset, size }
#define KELVO_RECORD(type, size, align) \
  RecordRow { #type, sizeof(type), alignof(type), size, align }

const std::vector<FieldRow>& Fields() {
  static const std::vector<FieldRow> rows = {
      KELVO_FIELD(GUID, Data1, 0, 4),
      KELVO_FIELD(GUID, Data2, 4, 2),
      KELVO_FIELD(GUID, Data3, 6, 2),
      KELVO_FIELD(GUID, Data4, 8, 8),
      KELVO_FIELD(UserRecord, userId, 0, 4),
      KELVO_FIELD(UserRecord, relation, 4, 4),
      KELVO_FIELD(UserRecord, groupId, 8, 4),
      KELVO_FIELD(UserRecord, gameServerId, 12, 4),
      KELVO_FIELD(UserRecord, gmLevel, 16, 4),
      KELVO_FIELD(UserRecord, attr1, 20, 4),
      KELVO_FIELD(UserRecord, attr2, 24, 4),
      KELVO_FIELD(UserRecord, attr3, 28, 1),
      KELVO_FIELD(UserRecord, attrFlag, 29, 1),
      KELVO_FIELD(UserRecord, onlineState, 30, 1),
      KELVO_FIELD(UserRecord, name, 31, 32),
      KELVO_FIELD(GroupRecord, groupKind, 0, 4),
      KELVO_FIELD(GroupRecord, groupId, 4, 4),
      KELVO_FIELD(GroupRecord, parentGroupId, 8, 4),
      KELVO_FIELD(GroupRecord, groupAttr, 12, 4),
      KELVO_FIELD(GroupRecord, name, 16, 64),
      KELVO_FIELD(ServerAddress, serverIp, 0, 4),
      KELVO_FIELD(ServerAddress, serverPort, 4, 2),
      KELVO_FIELD(ServerAddress, proxyIp, 8, 4),
      KELVO_FIELD(ServerAddress, proxyParam, 12, 4),
      KELVO_FIELD(ServerAddress, proxyPort, 16, 2),
      KELVO_FIELD(SearchUserResult, value1, 0, 4),
      KELVO_FIELD(SearchUserResult, value2, 4, 4),
      KELVO_FIELD(SearchUserResult, value3, 8, 4),
      KELVO_FIELD(SearchUserResult, value4, 12, 4),
  };
  return rows;
}

const std::vector<RecordRow>& Records() {
  static const std::vector<RecordRow> rows = {
      KELVO_RECORD(GUID, 16, 4),
      KELVO_RECORD(UserRecord, 64, 4),
      KELVO_RECORD(GroupRecord, 80, 4),
      KELVO_RECORD(ServerAddress, 20, 4),
      KELVO_RECORD(SearchUserResult, 16, 4),
      KELVO_RECORD(MessageKind, 1, 1),
  };
  return rows;
}

const char* Target() {
#if defined(__aarch64__)
  return "aarch64";
#elif defined(__arm__)
  return "arm (32-bit)";
#elif defined(__x86_64__) || defined(_M_X64)
  return "x86_64";
#elif defined(__i386__) || defined(_M_IX86)
  return "i686";
#else
  return "unknown processor";
#endif
}

TEST(RecordLayout, EveryFieldSitsWhereEveryHostExpectsIt) {
  std::printf("record layouts on %s (plain char is %s):\n", Target(),
              std::numeric_limits<char>::is_signed ? "signed" : "unsigned");
  std::printf("  %-18s %-14s %6s %4s\n", "record", "field", "offset", "size");
  for (const FieldRow& row : Fields()) {
    std::printf("  %-18s %-14s %6zu %4zu\n", row.record, row.field, row.offset, row.size);
    EXPECT_EQ(row.offset, row.expectedOffset) << row.record << "." << row.field;
    EXPECT_EQ(row.size, row.expectedSize) << row.record << "." << row.field;
  }
}

TEST(RecordLayout, RecordSizesAndAlignmentMatchEveryHost) {
  std::printf("  %-18s %6s %5s\n", "record", "size", "align");
  for (const RecordRow& row : Records()) {
    std::printf("  %-18s %6zu %5zu\n", row.record, row.size, row.align);
    EXPECT_EQ(row.size, row.expectedSize) << row.record;
    EXPECT_EQ(row.align, row.expectedAlign) << row.record;
  }
}

}  // namespace
}  // namespace kelvo
