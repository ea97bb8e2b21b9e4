// The storage test behind IsValid on Windows, against pages whose state the
// test sets up itself with VirtualAlloc/VirtualProtect/VirtualFree.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "core/platform.h"
#include "kelvo/kelvo_core.h"

namespace kelvo {
namespace {

using platform::IsValidAddress;

std::size_t PageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

// Reserves `pages` pages and commits the first `committed` of them as
// read-write. Released at the end of the scope.
class Pages {
 public:
  Pages(std::size_t pages, std::size_t committed) : size_(pages * PageSize()) {
    base_ = static_cast<char*>(VirtualAlloc(nullptr, size_, MEM_RESERVE, PAGE_NOACCESS));
    if (base_ != nullptr && committed > 0)
      VirtualAlloc(base_, committed * PageSize(), MEM_COMMIT, PAGE_READWRITE);
  }
  ~Pages() {
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;

  char* page(std::size_t i) const { return base_ + i * PageSize(); }
  bool Protect(std::size_t i, DWORD protection) const {
    DWORD old = 0;
    return VirtualProtect(page(i), PageSize(), protection, &old) != 0;
  }

 private:
  std::size_t size_;
  char* base_ = nullptr;
};

TEST(WindowsStorageTest, NullIsNeverValid) {
  EXPECT_FALSE(IsValidAddress(nullptr, 1, false));
  EXPECT_FALSE(IsValidAddress(nullptr, 0, true));
}

TEST(WindowsStorageTest, ReleasedPagesAreNotValid) {
  void* gone = VirtualAlloc(nullptr, PageSize(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  ASSERT_NE(gone, nullptr);
  ASSERT_TRUE(IsValidAddress(gone, 16, true));
  ASSERT_NE(VirtualFree(gone, 0, MEM_RELEASE), 0);
  EXPECT_FALSE(IsValidAddress(gone, 16, false));
  EXPECT_FALSE(IsValidAddress(gone, 16, true));
}

TEST(WindowsStorageTest, ReservedButUncommittedIsNotValid) {
  Pages pages(1, 0);
  ASSERT_NE(pages.page(0), nullptr);
  EXPECT_FALSE(IsValidAddress(pages.page(0), 8, false));
}

TEST(WindowsStorageTest, EveryPageOfTheRangeCounts) {
  Pages pages(2, 1);  // page 0 committed, page 1 only reserved
  ASSERT_NE(pages.page(0), nullptr);
  const std::size_t page = PageSize();
  EXPECT_TRUE(IsValidAddress(pages.page(0), page, true));
  // The last 8 bytes of page 0 plus 8 bytes of page 1.
  EXPECT_FALSE(IsValidAddress(pages.page(1) - 8, 16, true));
  EXPECT_FALSE(IsValidAddress(pages.page(0), page + 1, false));
}

TEST(WindowsStorageTest, ProtectionDecidesReadAndWrite) {
  Pages pages(3, 3);
  ASSERT_NE(pages.page(0), nullptr);
  ASSERT_TRUE(pages.Protect(0, PAGE_READONLY));
  ASSERT_TRUE(pages.Protect(1, PAGE_NOACCESS));
  ASSERT_TRUE(pages.Protect(2, PAGE_READWRITE | PAGE_GUARD));
  EXPECT_TRUE(IsValidAddress(pages.page(0), 32, false));
  EXPECT_FALSE(IsValidAddress(pages.page(0), 32, true));
  EXPECT_FALSE(IsValidAddress(pages.page(1), 32, false));
  // A guard page would fault on first touch.
  EXPECT_FALSE(IsValidAddress(pages.page(2), 32, false));
}

TEST(WindowsStorageTest, StackAndHeapObjectsAreValid) {
  int onStack[4] = {};
  auto* onHeap = new std::uint64_t[64]();
  EXPECT_TRUE(IsValidAddress(onStack, sizeof onStack, true));
  EXPECT_TRUE(IsValidAddress(onHeap, 64 * sizeof(std::uint64_t), true));
  delete[] onHeap;
}

TEST(WindowsStorageTest, LiveClientObjectIsValid) {
  auto* client =
      static_cast<IImClient*>(CreateKelvoCore(&IID_IImClient, IM_INTERFACE_VERSION));
  ASSERT_NE(client, nullptr);
  EXPECT_TRUE(client->IsValid());
  EXPECT_TRUE(client->Release());
}

}  // namespace
}  // namespace kelvo
