# Shared part of the MinGW-w64 cross toolchains. The including file sets
# KELVO_MINGW_TRIPLE (x86_64-w64-mingw32 or i686-w64-mingw32) and
# CMAKE_SYSTEM_PROCESSOR first.
#
# The DLL is what a Windows game client loads, so it must stand alone: the
# compilers are the `-posix` ones (the win32 thread model of GCC 12 has no
# std::thread or std::mutex), and everything is linked statically so that no
# libstdc++, libgcc or winpthread DLL has to travel with it.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KELVO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVO_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${KELVO_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump for the target")

# Headers and libraries come from the MinGW sysroot only. The build host's
# /usr/include must never be searched: its glibc headers would be taken for
# Windows ones.
set(CMAKE_FIND_ROOT_PATH /usr/${KELVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test executables run under Wine (ctest, and gtest's test discovery).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# Asio is header-only and target-neutral, but it lives in the host's
# /usr/include next to everything that must stay out of reach. Give the
# compiler a folder that holds Asio alone. The toolchain file is also read
# for CMake's own check projects, which do not need it.
if(NOT CMAKE_IN_TRY_COMPILE AND NOT CMAKE_SOURCE_DIR MATCHES "/CMakeFiles/CMakeScratch/"
   AND NOT DEFINED ASIO_INCLUDE_DIR)
  set(_kelvo_asio_dir ${CMAKE_BINARY_DIR}/cross-include/asio)
  file(MAKE_DIRECTORY ${_kelvo_asio_dir})
  foreach(_entry asio asio.hpp)
    if(NOT EXISTS /usr/include/${_entry})
      message(FATAL_ERROR "/usr/include/${_entry} is missing: apt-get install libasio-dev")
    endif()
    if(NOT EXISTS ${_kelvo_asio_dir}/${_entry})
      file(CREATE_LINK /usr/include/${_entry} ${_kelvo_asio_dir}/${_entry} SYMBOLIC)
    endif()
  endforeach()
  set(ASIO_INCLUDE_DIR ${_kelvo_asio_dir} CACHE PATH "Asio headers, alone in their folder")
endif()
