# What `cmake --install` puts into a prefix, the CMake package and the
# pkg-config file that find it there, the MSVC import library of the Windows
# DLL, the API reference, and the CPack rules of the Linux archives.
#
# Installed: the public headers, the module and what a linker needs. Not the
# tests, the benchmarks, the internal static libraries (kelvo_core,
# nimbolink) nor, unless KELVO_INSTALL_TOOLS is on, the CLI, the load bots and
# the server.
include(CMakePackageConfigHelpers)

set(KELVO_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
set(KELVO_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
if(KELVO_SDK_ARCH)
  set(KELVO_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR}/${KELVO_SDK_ARCH})
  set(KELVO_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/${KELVO_SDK_ARCH})
endif()
# One package folder for every architecture of a prefix: the config file
# picks the targets of the consumer's architecture (see KelvoCoreConfig.cmake.in).
set(KELVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/KelvoCore)
set(KELVO_INSTALL_TARGETSDIR ${KELVO_INSTALL_CMAKEDIR})
if(KELVO_SDK_ARCH)
  set(KELVO_INSTALL_TARGETSDIR ${KELVO_INSTALL_CMAKEDIR}/${KELVO_SDK_ARCH})
endif()

install(DIRECTORY include/kelvo ${PROJECT_BINARY_DIR}/include/kelvo
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(TARGETS kelvo_headers kelvocore EXPORT KelvoCoreTargets
        RUNTIME DESTINATION ${KELVO_INSTALL_BINDIR}
        LIBRARY DESTINATION ${KELVO_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${KELVO_INSTALL_LIBDIR})
install(EXPORT KelvoCoreTargets NAMESPACE KelvoCore::
        DESTINATION ${KELVO_INSTALL_TARGETSDIR})

# SameMinorVersion: QueryInterface accepts one minor version of the
# interface only, so a 1.2 module is no substitute for a request of 1.1.
# In the Windows layout both architectures share the version file, and the
# config file rejects a missing architecture itself.
if(KELVO_SDK_ARCH)
  set(_kelvo_arch_independent ARCH_INDEPENDENT)
endif()
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/KelvoCoreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion ${_kelvo_arch_independent})
configure_package_config_file(cmake/KelvoCoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KelvoCoreConfig.cmake
  INSTALL_DESTINATION ${KELVO_INSTALL_CMAKEDIR})
install(FILES ${PROJECT_BINARY_DIR}/KelvoCoreConfig.cmake
              ${PROJECT_BINARY_DIR}/KelvoCoreConfigVersion.cmake
        DESTINATION ${KELVO_INSTALL_CMAKEDIR})

# pkg-config: the prefix is found from the .pc file's own place, so the
# installed tree can be moved or unpacked anywhere.
file(RELATIVE_PATH KELVO_PC_TO_PREFIX
     /prefix/${KELVO_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KELVO_PC_TO_PREFIX "${KELVO_PC_TO_PREFIX}")
configure_file(cmake/kelvocore.pc.in ${PROJECT_BINARY_DIR}/kelvocore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kelvocore.pc DESTINATION ${KELVO_INSTALL_LIBDIR}/pkgconfig)

if(WIN32)
  # An import library in the format of Microsoft's lib.exe, for hosts linked
  # by MSVC, built from the module definition file. The DLL exports the
  # factory undecorated on both architectures; on i686 a cdecl C function is
  # the symbol _CreateKelvoCore, which the .def's plain name gives.
  find_program(KELVO_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 ${KELVO_MINGW_TRIPLE}-dlltool
               DOC "llvm-dlltool or MinGW dlltool, for kelvocore.lib")
  if(KELVO_DLLTOOL)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(_kelvo_machine i386:x86-64)
    else()
      set(_kelvo_machine i386)
    endif()
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/kelvocore.lib
      COMMAND ${KELVO_DLLTOOL} -m ${_kelvo_machine} -D kelvocore.dll
              -d ${PROJECT_SOURCE_DIR}/cmake/kelvocore.def -l ${PROJECT_BINARY_DIR}/kelvocore.lib
      DEPENDS ${PROJECT_SOURCE_DIR}/cmake/kelvocore.def
      COMMENT "Import library for MSVC: kelvocore.lib")
    add_custom_target(kelvocore_msvc_implib ALL DEPENDS ${PROJECT_BINARY_DIR}/kelvocore.lib)
    install(FILES ${PROJECT_BINARY_DIR}/kelvocore.lib cmake/kelvocore.def
            DESTINATION ${KELVO_INSTALL_LIBDIR})
  else()
    message(WARNING "no llvm-dlltool or dlltool found: kelvocore.lib is not built")
  endif()
endif()

if(KELVO_INSTALL_TOOLS AND TARGET kelvo-cli AND TARGET kelvo-bots AND TARGET kelvo-server)
  # The installed hosts must not point at this build tree: they load the
  # module by its SONAME, found through their RUNPATH in ../lib next to them.
  file(RELATIVE_PATH _kelvo_bin_to_lib
       /prefix/${KELVO_INSTALL_BINDIR} /prefix/${KELVO_INSTALL_LIBDIR})
  foreach(_kelvo_host kelvo-cli kelvo-bots)
    get_target_property(_kelvo_host_defs ${_kelvo_host} COMPILE_DEFINITIONS)
    list(FILTER _kelvo_host_defs EXCLUDE REGEX "^KELVO_DEFAULT_MODULE=")
    list(APPEND _kelvo_host_defs
         "KELVO_DEFAULT_MODULE=\"$<TARGET_SONAME_FILE_NAME:kelvocore>\"")
    set_target_properties(${_kelvo_host} PROPERTIES
      COMPILE_DEFINITIONS "${_kelvo_host_defs}"
      INSTALL_RPATH "$ORIGIN/${_kelvo_bin_to_lib}")
  endforeach()
  install(TARGETS kelvo-cli kelvo-bots kelvo-server RUNTIME DESTINATION ${KELVO_INSTALL_BINDIR})
endif()

if(KELVO_BUILD_DOCS)
  # The API reference from the public headers' comments. Doxygen's warnings
  # fail the build, so a broken reference does not ship.
  find_package(Doxygen REQUIRED)
  set(KELVO_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
  configure_file(docs/Doxyfile.in ${KELVO_DOCS_DIR}/Doxyfile @ONLY)
  file(GLOB _kelvo_public_headers ${PROJECT_SOURCE_DIR}/include/kelvo/*.h)
  # The host guide's Mermaid diagrams, rendered to SVG by mermaid-cli
  # (docs/mermaid/install.sh puts it in build/mermaid); a diagram that does
  # not render fails the build.
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  find_program(KELVO_MMDC mmdc HINTS ${PROJECT_SOURCE_DIR}/build/mermaid/node_modules/.bin
               DOC "mermaid-cli, for the host guide's diagrams")
  if(NOT KELVO_MMDC)
    message(FATAL_ERROR "KELVO_BUILD_DOCS needs mermaid-cli: run docs/mermaid/install.sh")
  endif()
  add_custom_command(
    OUTPUT ${KELVO_DOCS_DIR}/guide/host-guide.md
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/docs/render_guide.py
            ${KELVO_MMDC} ${PROJECT_SOURCE_DIR}/docs/host-guide.md ${KELVO_DOCS_DIR}/guide
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/host-guide.md ${PROJECT_SOURCE_DIR}/docs/render_guide.py
            ${PROJECT_SOURCE_DIR}/docs/mermaid/puppeteer.json
    COMMENT "Host guide diagrams (mermaid-cli)")
  add_custom_command(
    OUTPUT ${KELVO_DOCS_DIR}/api/html/index.html
    COMMAND ${CMAKE_COMMAND} -E remove_directory ${KELVO_DOCS_DIR}/api
    COMMAND Doxygen::doxygen ${KELVO_DOCS_DIR}/Doxyfile
    DEPENDS ${_kelvo_public_headers} ${PROJECT_BINARY_DIR}/include/kelvo/version.h
            ${KELVO_DOCS_DIR}/Doxyfile ${PROJECT_SOURCE_DIR}/docs/doc_comments.awk
            ${KELVO_DOCS_DIR}/guide/host-guide.md ${PROJECT_SOURCE_DIR}/docs/arguments-and-results.md
    WORKING_DIRECTORY ${KELVO_DOCS_DIR}
    COMMENT "API reference (Doxygen)")
  add_custom_target(kelvo_docs ALL DEPENDS ${KELVO_DOCS_DIR}/api/html/index.html)
  install(DIRECTORY ${KELVO_DOCS_DIR}/api/html/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvo/docs/api)
endif()
if(NOT WIN32)
  # The pages (component "pages"): share/kelvo holds them in the source
  # tree's layout, CHANGELOG.md at its top, the chapters under docs/ and each
  # binding's README.md beside its sources, so that the relative links
  # between them work here as they do in the tree. tools/package.sh puts the
  # same files at the top of the Windows SDK .zip, and the test Docs.Links
  # follows every link of this component's install.
  file(GLOB _kelvo_pages ${PROJECT_SOURCE_DIR}/docs/*.md)
  install(FILES ${_kelvo_pages} DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvo/docs COMPONENT pages)
  install(FILES CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvo COMPONENT pages)
  install(FILES bindings/python/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvo/bindings/python
          COMPONENT pages)
  install(FILES bindings/csharp/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvo/bindings/csharp
          COMPONENT pages)
  # The bindings ship as sources: the Python package and the C# sources,
  # under share/kelvo/bindings.
  install(DIRECTORY bindings/python/kelvo DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvo/bindings/python
          PATTERN "__pycache__" EXCLUDE)
  install(DIRECTORY bindings/csharp/src DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvo/bindings/csharp)
  # The SDK's version file beside bindings/, where the Python package's
  # kelvo.__version__ reads it.
  install(FILES VERSION DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvo)
endif()

# The Linux archives: a .tar.gz of the installed tree and a .deb installing
# under /usr. The Windows SDK .zip is put together by tools/package.sh from
# the two cross builds.
if(NOT WIN32)
  set(CPACK_PACKAGE_NAME kelvocore)
  set(CPACK_PACKAGE_VENDOR "Kelvo")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kelvo client core SDK: libkelvocore, headers, CLI host, load bots and reference server")
  # The archive is named after the processor (x86_64, aarch64) or, for 32-bit
  # ARM, the ABI (armhf); the ARM cross toolchains say which, and which
  # Debian architecture the .deb is for.
  if(KELVO_ARCHIVE_ARCH)
    set(CPACK_PACKAGE_FILE_NAME kelvocore-${PROJECT_VERSION}-linux-${KELVO_ARCHIVE_ARCH})
  else()
    set(CPACK_PACKAGE_FILE_NAME kelvocore-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  endif()
  if(KELVO_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KELVO_DEB_ARCH})
  endif()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kelvo client core developers <kelvo-dev@example.invalid>")
  set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "The client core of the Kelvo in-game instant-messaging service: the module libkelvocore, its C++ headers, a CMake package and a pkg-config file, the host guide and API reference, the kelvo-cli host, the kelvo-bots load tool and the kelvo-server reference server.")
  include(CPack)
endif()
