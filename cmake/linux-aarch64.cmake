# Cross-build for 64-bit ARM Linux (arm64: phones, handhelds, ARM servers):
#   cmake --preset aarch64     (or -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KELVO_CROSS_TRIPLE aarch64-linux-gnu)
set(KELVO_QEMU qemu-aarch64)
set(KELVO_DEB_ARCH arm64)
set(KELVO_ARCHIVE_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
