// The thin layer over what the Windows application framework provided: the
// storage test behind IsValid. Everything platform-specific stays behind it.
#ifndef KELVO_CORE_PLATFORM_H_
#define KELVO_CORE_PLATFORM_H_

#include <cstddef>

namespace kelvo {
namespace platform {

// True when [p, p + size) can be read and, with `writable`, written. On
// Windows the pages are asked with VirtualQuery; elsewhere there is no cheap
// portable way, and the test is that `p` is not null.
bool IsValidAddress(const void* p, std::size_t size, bool writable);

}  // namespace platform
}  // namespace kelvo

#endif  // KELVO_CORE_PLATFORM_H_
