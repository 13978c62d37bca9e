# The part of the mingw-w64 toolchain files that is the same for both
# targets; they set CMAKE_SYSTEM_PROCESSOR and HARBINOR_MINGW_TRIPLE first.
#
# CMake reads this file several times (once per try_compile, and again as
# the rules override below), so it only sets values.
#
# The mingw sysroot holds both libfoo.dll.a (import library of a DLL) and
# libfoo.a; find_library (and so pkg_check_modules' imported targets) must
# pick the static one. The Windows platform files set the suffixes after the
# toolchain is read, so this file is read once more as the rules override,
# which comes after them; by then the compilers are known and must be left
# alone.
if(CMAKE_C_COMPILER_LOADED OR CMAKE_CXX_COMPILER_LOADED OR CMAKE_RC_COMPILER_LOADED)
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
  return()
endif()
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_FILE}")

set(CMAKE_SYSTEM_NAME Windows)

get_filename_component(_harbinor_top "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(HARBINOR_WINDOWS_DEPS "${_harbinor_top}/build/windows-deps/${HARBINOR_MINGW_TRIPLE}")

set(CMAKE_C_COMPILER ${HARBINOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HARBINOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${HARBINOR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH "${HARBINOR_WINDOWS_DEPS}" /usr/${HARBINOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees the cross .pc files only, and answers with the static link
# line (Libs.private, Requires.private, Cflags.private) because everything
# links static.
set(ENV{PKG_CONFIG_LIBDIR} "${HARBINOR_WINDOWS_DEPS}/lib/pkgconfig:/usr/${HARBINOR_MINGW_TRIPLE}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_ARGN --static CACHE STRING "Arguments to supply to pkg-config")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
