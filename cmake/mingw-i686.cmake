# Cross build for 32-bit Windows with Debian's mingw-w64 (posix threads, so
# std::thread and std::mutex work). Programs link fully static and need no DLL
# besides Windows' own. Libraries come from the mingw sysroot and from
# build/windows-deps/<triple>, which cmake/windows-deps.sh fills.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(HARBINOR_MINGW_TRIPLE i686-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
# 32-bit programs cannot run on the build machines (no 32-bit support in
# their kernel), so there is no emulator and no tests.
