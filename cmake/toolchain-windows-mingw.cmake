# Cross build for Windows with Debian's mingw-w64, included by the toolchain
# file of each architecture once it has set CMAKE_SYSTEM_PROCESSOR (i686 or
# x86_64, the first part of the compilers' names). The posix thread model:
# std::thread and std::mutex need it; -static keeps libwinpthread out.
set(CMAKE_SYSTEM_NAME Windows)
set(eklv_mingw ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${eklv_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${eklv_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${eklv_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${eklv_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
