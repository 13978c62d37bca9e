# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads, so
# std::thread and std::mutex work). Programs link fully static and need no DLL
# besides Windows' own. Libraries come from the mingw sysroot and from
# build/windows-deps/<triple>, which cmake/windows-deps.sh fills.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(HARBINOR_MINGW_TRIPLE x86_64-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
# add_test() commands run under Wine, in a prefix inside the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR "${_harbinor_top}/cmake/wine-run.sh;--default-prefix;${CMAKE_BINARY_DIR}/wineprefix")
