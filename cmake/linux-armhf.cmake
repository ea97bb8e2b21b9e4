# Cross-build for 32-bit ARM Linux with the hard-float ABI (armhf: ARMv7-A
# with VFPv3-D16 and Thumb-2, Debian's baseline; older phones and handhelds):
#   cmake --preset armhf       (or -DCMAKE_TOOLCHAIN_FILE=cmake/linux-armhf.cmake)
# Plain char is unsigned here as on aarch64, and 64-bit values are 8-byte
# aligned in records and on the stack, unlike on i386.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(KELVO_CROSS_TRIPLE arm-linux-gnueabihf)
set(KELVO_QEMU qemu-arm)
set(KELVO_DEB_ARCH armhf)
set(KELVO_ARCHIVE_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
# GCC 7.1 changed how 32-bit ARM passes a struct with 64-bit-aligned members
# by value, and notes every such call (-Wpsabi). Only library internals pass
# such structs (std::vector iterators); the interface passes every record by
# pointer and nothing compiled before GCC 7.1 is linked in, so the notes say
# nothing about this build.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
