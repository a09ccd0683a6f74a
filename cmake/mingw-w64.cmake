# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers, the POSIX-threads variant
# (std::thread and std::mutex need it). Libraries built for Windows by scripts/windows-deps are
# found through CMAKE_PREFIX_PATH; the Linux system's own headers and libraries never are.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VERDAN_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${VERDAN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VERDAN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VERDAN_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${VERDAN_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${VERDAN_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${VERDAN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The dependency prefixes sit outside the root above; let find_* look inside them as well.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})

# Test binaries run under Wine (ctest, and gtest_discover_tests listing the cases), through
# scripts/wine-run, which starts a program again when Wine failed to start it at all.
find_program(VERDAN_WINE NAMES wine wine64)
if(VERDAN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
endif()

# One verdan.exe without zlib1.dll beside it.
set(ZLIB_USE_STATIC_LIBS ON)
