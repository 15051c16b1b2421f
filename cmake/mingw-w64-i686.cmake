# 32-bit Windows (x86) with Debian's mingw-w64: the DLL for 32-bit IIS
# application pools.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QELMOR_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
