// Records and identifiers that cross the host boundary.
//
// Every record here is part of the binary interface: the host is often built
// by another compiler, so the layouts are plain C structs with natural
// alignment and are pinned below with static_asserts. Never reorder a field.
#ifndef KELVO_KELVO_TYPES_H_
#define KELVO_KELVO_TYPES_H_

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <guiddef.h>
#endif

// Calling convention of every interface operation, in IImBase, IImClient and
// IImClientSink alike, and the rules that keep the interfaces callable from a
// host built by another compiler (MSVC in particular):
//
// - 32-bit Windows: every operation is __stdcall, as in COM. `this` is pushed
//   last, after the arguments from right to left, and the callee pops them.
//   A bool result comes back in AL, a pointer in EAX. Without the macro g++
//   would use __thiscall (`this` in ECX) and every call from an MSVC-built
//   host would corrupt the stack.
// - 64-bit Windows: the one Microsoft x64 convention (`this` in RCX, then
//   RDX, R8, R9, the rest on the stack); the macro expands to nothing.
// - Elsewhere: the platform default; the macro expands to nothing.
// - An implementation declares each override with KELVO_CALL as well: on
//   i686 an override without it is a different function type, which g++
//   refuses ("conflicting type attributes").
// - Operations are called by their place in the table of virtual operations:
//   declaration order is binding, there are no overloads (MSVC groups
//   overloads together in the table) and no virtual destructor (g++ emits two
//   slots for one, MSVC one).
// - Nothing is returned by value except bool, pointers and void: no struct
//   results, whose hidden return pointer is placed differently by the two
//   compilers for member functions.
// - 8- and 16-bit arguments take a whole stack slot or register, of which the
//   callee reads only their own width; records cross by pointer, never by
//   value (ServerAddress, UserRecord, GroupRecord, SearchUserResult).
//
// CreateKelvoCore itself is a plain C function with the default convention
// (__cdecl on i686), exported under its undecorated name.
#if defined(_WIN32) && !defined(_WIN64)
#define KELVO_CALL __stdcall
#else
#define KELVO_CALL
#endif

#if !defined(_WIN32)
// The platform GUID layout: 32-bit, 16-bit and 16-bit fields in the machine's
// byte order, then 8 bytes. Two identifiers are equal when all 16 bytes are.
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
#endif

namespace kelvo {

// One user: a friend, a pending request, a search result or the own user.
struct UserRecord {
  uint32_t userId;        // equal to the key the record is stored under
  uint32_t relation;      // kind of roster entry (8 bits on the wire)
  uint32_t groupId;       // group the user is filed under (16 bits on the wire)
  uint32_t gameServerId;  // game server the user plays on; 0 = none
  uint32_t gmLevel;       // nonzero for a game master
  uint32_t attr1;         // profile value, uninterpreted
  uint32_t attr2;         // profile value, uninterpreted
  uint8_t attr3;          // profile value, uninterpreted
  uint8_t attrFlag;       // profile flag, uninterpreted
  uint8_t onlineState;    // presence as the server sends it; 1 = offline
  char name[32];          // GBK, NUL-padded; 32 bytes means no terminator
};

// One group of the user's roster. The key is groupId, the second field.
struct GroupRecord {
  uint32_t groupKind;      // kind of group (8 bits on the wire)
  uint32_t groupId;        // the key (16 bits on the wire)
  uint32_t parentGroupId;  // takes over the members when this group goes
  uint32_t groupAttr;      // uninterpreted
  char name[64];           // GBK, NUL-padded; 64 bytes means no terminator
};

// Where Connect goes. Addresses and ports are in host byte order.
struct ServerAddress {
  uint32_t serverIp;
  uint16_t serverPort;
  uint32_t proxyIp;     // SOCKS5 proxy; 0 = connect directly
  uint32_t proxyParam;  // handed to the network library unchanged
  uint16_t proxyPort;
};

// The four values of a single search result, in message order.
struct SearchUserResult {
  uint32_t value1;
  uint32_t value2;
  uint32_t value3;
  uint32_t value4;
};

// Where a text of OnChatMessage / OnChatMessageEx / OnOfflineMessage comes
// from. Only the low 8 bits are meaningful.
using MessageKind = uint8_t;
enum : MessageKind {
  MESSAGE_KIND_CHAT = 0,
  MESSAGE_KIND_NOTICE = 1,           // system message of another type, or info without flags
  MESSAGE_KIND_SYSTEM_TYPE1 = 2,     // system message types 1..4 -> 2..5
  MESSAGE_KIND_SYSTEM_TYPE4 = 5,
  MESSAGE_KIND_INFO_BIT0 = 6,        // info flag bits 0..6 -> 6..12 (lowest set bit wins)
  MESSAGE_KIND_INFO_BIT7 = 13,       // info flag bit 7, over everything
};

// The identifiers and the version word are plain constexpr constants rather
// than C++17 inline variables: Microsoft's compiler defaults to C++14 and
// refuses `inline` on a variable there, and a host must be able to include
// these headers with its default settings. Each translation unit gets its own
// copy (namespace-scope constexpr has internal linkage); identifiers are
// compared by value, never by address, so nothing depends on one copy.
// {A3BC050A-B6DC-4807-B91E-B90373289B83}
constexpr GUID IID_IImClient = {
    0xA3BC050A, 0xB6DC, 0x4807, {0xB9, 0x1E, 0xB9, 0x03, 0x73, 0x28, 0x9B, 0x83}};
// {92D87E91-5A5B-4A45-8CFD-382FE6B32B0B}
constexpr GUID IID_IImBase = {
    0x92D87E91, 0x5A5B, 0x4A45, {0x8C, 0xFD, 0x38, 0x2F, 0xE6, 0xB3, 0x2B, 0x0B}};
// {597D8B19-0D30-4700-98B4-C6F6859AB5C8}
constexpr GUID IID_IImClientSink = {
    0x597D8B19, 0x0D30, 0x4700, {0x98, 0xB4, 0xC6, 0xF6, 0x85, 0x9A, 0xB5, 0xC8}};

// Version word: major.minor.build.revision from the most significant byte
// down. Accepted by the client: major 1, minor 1, build 0 or 1, any revision.
constexpr uint32_t IM_INTERFACE_VERSION = 0x01010100;

// Layout pins. Offsets are those a host compiled elsewhere will use.
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
static_assert(offsetof(UserRecord, userId) == 0, "UserRecord layout");
static_assert(offsetof(UserRecord, relation) == 4, "UserRecord layout");
static_assert(offsetof(UserRecord, groupId) == 8, "UserRecord layout");
static_assert(offsetof(UserRecord, gameServerId) == 12, "UserRecord layout");
static_assert(offsetof(UserRecord, gmLevel) == 16, "UserRecord layout");
static_assert(offsetof(UserRecord, attr1) == 20, "UserRecord layout");
static_assert(offsetof(UserRecord, attr2) == 24, "UserRecord layout");
static_assert(offsetof(UserRecord, attr3) == 28, "UserRecord layout");
static_assert(offsetof(UserRecord, attrFlag) == 29, "UserRecord layout");
static_assert(offsetof(UserRecord, onlineState) == 30, "UserRecord layout");
static_assert(offsetof(UserRecord, name) == 31, "UserRecord layout");
static_assert(sizeof(UserRecord) == 64, "UserRecord size");
static_assert(offsetof(GroupRecord, groupKind) == 0, "GroupRecord layout");
static_assert(offsetof(GroupRecord, groupId) == 4, "GroupRecord layout");
static_assert(offsetof(GroupRecord, parentGroupId) == 8, "GroupRecord layout");
static_assert(offsetof(GroupRecord, groupAttr) == 12, "GroupRecord layout");
static_assert(offsetof(GroupRecord, name) == 16, "GroupRecord layout");
static_assert(sizeof(GroupRecord) == 80, "GroupRecord size");
static_assert(offsetof(ServerAddress, serverIp) == 0, "ServerAddress layout");
static_assert(offsetof(ServerAddress, serverPort) == 4, "ServerAddress layout");
static_assert(offsetof(ServerAddress, proxyIp) == 8, "ServerAddress layout");
static_assert(offsetof(ServerAddress, proxyParam) == 12, "ServerAddress layout");
static_assert(offsetof(ServerAddress, proxyPort) == 16, "ServerAddress layout");
static_assert(sizeof(ServerAddress) == 20, "ServerAddress size");
static_assert(sizeof(SearchUserResult) == 16, "SearchUserResult size");
static_assert(sizeof(MessageKind) == 1, "MessageKind is 8 bits");

}  // namespace kelvo

#endif  // KELVO_KELVO_TYPES_H_
