// Heap allocations made by this process so far (every form of global
// operator new). See alloc_counter.cpp.
#ifndef KELVO_BENCH_ALLOC_COUNTER_H_
#define KELVO_BENCH_ALLOC_COUNTER_H_

#include <cstdint>

namespace kelvo {
namespace bench {

uint64_t AllocationCount();

}  // namespace bench
}  // namespace kelvo

#endif  // KELVO_BENCH_ALLOC_COUNTER_H_
