# Cross build for 64-bit Windows (cmake/toolchain-windows-mingw.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-windows-mingw.cmake)
