# Cross build for 32-bit Windows (cmake/toolchain-windows-mingw.cmake).
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-windows-mingw.cmake)
