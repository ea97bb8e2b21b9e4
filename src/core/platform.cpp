#include "core/platform.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kelvo {
namespace platform {

#if defined(_WIN32)

bool IsValidAddress(const void* p, std::size_t size, bool writable) {
  if (p == nullptr) return false;
  const char* cur = static_cast<const char*>(p);
  const char* end = cur + size;
  while (cur < end) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(cur, &info, sizeof info) == 0) return false;
    if (info.State != MEM_COMMIT) return false;
    const DWORD prot = info.Protect & 0xFF;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const DWORD writableMask =
        PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if ((prot & readable) == 0 || (info.Protect & PAGE_GUARD) != 0) return false;
    if (writable && (prot & writableMask) == 0) return false;
    cur = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
  }
  return true;
}

#else

bool IsValidAddress(const void* p, std::size_t /*size*/, bool /*writable*/) {
  return p != nullptr;
}

#endif

}  // namespace platform
}  // namespace kelvo
