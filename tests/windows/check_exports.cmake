# Checks the DLL's export and import tables with the target's objdump:
#   cmake -DOBJDUMP=... -DDLL=... -P check_exports.cmake
# The host finds the factory by its undecorated name, so the export table must
# hold CreateKelvoCore and nothing else (no C++ runtime symbols leaking out,
# no stdcall decoration like CreateKelvoCore@8). The DLL is linked statically,
# so it may import system DLLs only: a MinGW runtime DLL among its imports
# would be missing on the player's machine.
cmake_minimum_required(VERSION 3.24)

execute_process(COMMAND ${OBJDUMP} -p ${DLL}
                OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${rc})")
endif()

# "[Ordinal/Name Pointer] Table" lists one "[   n] Name" line per export.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at EQUAL -1)
  message(FATAL_ERROR "no export table in ${DLL}")
endif()
string(SUBSTRING "${dump}" ${at} -1 exportPart)
string(REGEX MATCH "Table\n(([ \t]+\\[ *[0-9]+\\] [^\n]+\n)*)" _ "${exportPart}")
string(REGEX MATCHALL "\\] [^\n]+" entries "${CMAKE_MATCH_1}")
list(TRANSFORM entries REPLACE "^\\] " "")
if(NOT entries STREQUAL "CreateKelvoCore")
  message(FATAL_ERROR "exports are [${entries}], expected exactly [CreateKelvoCore]")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
list(TRANSFORM imports REPLACE "^DLL Name: " "")
list(TRANSFORM imports TOLOWER)
if(NOT imports)
  message(FATAL_ERROR "no imports found in ${DLL}")
endif()
set(allowed kernel32.dll msvcrt.dll ws2_32.dll mswsock.dll user32.dll advapi32.dll
    secur32.dll crypt32.dll)
foreach(dll IN LISTS imports)
  if(NOT dll IN_LIST allowed)
    message(FATAL_ERROR "${DLL} imports ${dll}; only system DLLs are allowed (${allowed})")
  endif()
endforeach()
message(STATUS "exports: ${entries}; imports: ${imports}")
