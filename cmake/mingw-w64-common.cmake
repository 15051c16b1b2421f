# Shared part of the two mingw-w64 toolchains: the caller sets
# QELMOR_MINGW_TRIPLET before including this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# The -posix variants: their C++ runtime has std::thread and std::mutex.
set(CMAKE_C_COMPILER ${QELMOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QELMOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QELMOR_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${QELMOR_MINGW_TRIPLET}-objdump CACHE FILEPATH "objdump for PE images")

set(CMAKE_FIND_ROOT_PATH /usr/${QELMOR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
