# Shared part of the Linux ARM cross toolchains (Debian's cross compilers).
# The including file sets KELVO_CROSS_TRIPLE (aarch64-linux-gnu or
# arm-linux-gnueabihf), CMAKE_SYSTEM_PROCESSOR, KELVO_QEMU (the qemu-user
# program of the target), KELVO_DEB_ARCH (the Debian architecture of the
# .deb) and KELVO_ARCHIVE_ARCH (the processor the .tar.gz is named after)
# first.
#
# Libraries of the target come from Debian's multiarch packages (libssl-dev:arm64
# and so on, under /usr/lib/<triple>), which share /usr/include with the build
# machine; the compiler's own C and C++ runtime comes from the cross packages
# under /usr/<triple>. Both are what the cross compiler searches by default.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${KELVO_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KELVO_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KELVO_CROSS_TRIPLE})
set(CMAKE_OBJDUMP ${KELVO_CROSS_TRIPLE}-objdump CACHE FILEPATH "objdump for the target")
set(CMAKE_STRIP ${KELVO_CROSS_TRIPLE}-strip CACHE FILEPATH "strip for the target")

# Programs (doxygen, python, nm) are the build machine's. Libraries and
# packages are found under /usr/lib/<triple> through CMAKE_LIBRARY_ARCHITECTURE,
# so none of the build machine's (/usr/lib/x86_64-linux-gnu) is ever taken.
# pkg-config, which FindOpenSSL asks first, must look at the target's .pc
# files only, or it hands over the build machine's libcrypto.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KELVO_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run under qemu-user (ctest, and gtest's test discovery),
# explicitly rather than through binfmt_misc, which a container or CI machine
# may not let us register. The target's loader and run-time libraries are
# Debian's multiarch ones (libc6:arm64, libstdc++6:arm64, ...), installed as
# on an ARM machine under /lib/<triple>, where the loader looks by default.
# Not `-L /usr/<triple>`: the cross packages' libc is a different build from
# the multiarch one that libssl3:<arch> brings, and a process that mixes the
# two loaders and libcs hangs in its first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVO_QEMU})
