# The Windows build (mingw-w64 cross compilers, cmake/toolchain-windows-*.cmake):
# eklv.dll from the core and the Win32 backend, and the tests that run under
# Wine. The Linux-only products (libeklv_host, the udev monitor, the umockdev
# rig) are not part of it.
#
# Everything links with -static: the C++ runtime, libgcc and winpthreads go
# into each binary, so eklv.dll imports Windows system DLLs only.
add_link_options(-static)

# Version resources, Release debug files and import libraries.
enable_language(RC)
include(${CMAKE_CURRENT_LIST_DIR}/windows-sdk.cmake)

# Both builds run their tests under Wine: CTest starts every test
# executable through scripts/wine-run.sh with a Wine prefix of the build
# folder's own (created on first use), a 64-bit prefix for the x64 build and
# a 32-bit one (32-bit Wine, as on the 32-bit hosts of the DLL) for i686.
set(EKLV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the tests")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(EKLV_WINEARCH win64)
else()
  set(EKLV_WINEARCH win32)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEARCH=${EKLV_WINEARCH} ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh
  ${EKLV_WINEPREFIX})

add_subdirectory(src)

if(EKLV_BUILD_TESTS)
  enable_testing()
  # GoogleTest cross-built from Debian's sources (googletest package).
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_subdirectory(tests/windows)
  add_subdirectory(tests/windows_rig)
endif()
