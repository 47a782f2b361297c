# What a Windows host developer gets with eklv.dll and eklvctl.exe:
#  - a version resource in each (file and product version, names, and the
#    build label in Comments, which the core log prints as "Label - ...");
#  - in Release builds, stripped binaries with their debug information in
#    a .debug file beside them, linked by a .gnu_debuglink section;
#  - import libraries of eklv.dll for MinGW (libeklv.dll.a) and MSVC
#    (eklv.lib). On i686 they define the __stdcall decorated names that
#    eklv.h makes a host ask for (_EKLVInitialize@4), bound to the DLL's
#    plain exports.
# Included by cmake/windows.cmake before any target is made.

# The build label: project version, architecture and the source's git
# description (at configure time).
execute_process(COMMAND git describe --always --dirty WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  OUTPUT_VARIABLE eklv_git_description OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE eklv_git_result)
if(NOT eklv_git_result EQUAL 0 OR eklv_git_description STREQUAL "")
  set(eklv_git_description "unknown source")
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(EKLV_WINDOWS_ARCH win32)
else()
  set(EKLV_WINDOWS_ARCH win64)
endif()
set(EKLV_BUILD_LABEL "eklv ${PROJECT_VERSION} ${EKLV_WINDOWS_ARCH} ${CMAKE_BUILD_TYPE} (${eklv_git_description})")
set(EKLV_COMPANY "eklv")

# Release binaries carry debug information until it is split off.
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  add_compile_options(-g)
  set(eklv_split_default ON)
else()
  set(eklv_split_default OFF)
endif()
option(EKLV_SPLIT_DEBUG "Strip eklv.dll and eklvctl.exe, keeping their debug information in .debug files"
  ${eklv_split_default})
find_program(EKLV_OBJCOPY NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objcopy REQUIRED)
find_program(EKLV_DLLTOOL NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool REQUIRED)
find_program(EKLV_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)

# eklv_windows_binary(target file_name description VFT_DLL|VFT_APP): the
# version resource, and the debug split of a Release build.
function(eklv_windows_binary target file description type)
  set(EKLV_RC_FILE ${file})
  get_filename_component(EKLV_RC_NAME ${file} NAME_WE)
  set(EKLV_RC_DESCRIPTION ${description})
  set(EKLV_RC_TYPE ${type})
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  if(EKLV_SPLIT_DEBUG)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${EKLV_OBJCOPY} --only-keep-debug ${file} ${file}.debug
      COMMAND ${EKLV_OBJCOPY} --strip-debug --strip-unneeded ${file}
      COMMAND ${EKLV_OBJCOPY} --add-gnu-debuglink=${file}.debug ${file}
      WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
      COMMENT "Splitting the debug information of ${file} into ${file}.debug" VERBATIM)
  endif()
endfunction()

# The .def file the import libraries come from: the decorated names on i686.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(EKLV_IMPORT_DEF ${PROJECT_SOURCE_DIR}/src/api/eklv-x86.def)
  set(eklv_machine i386)
  set(eklv_kill_at -k)
else()
  set(EKLV_IMPORT_DEF ${PROJECT_SOURCE_DIR}/src/api/eklv.def)
  set(eklv_machine i386:x86-64)
  set(eklv_kill_at)
endif()

# eklv_import_libraries(target): replaces the linker's import library of
# the DLL with one made from EKLV_IMPORT_DEF, and makes eklv.lib beside it.
function(eklv_import_libraries target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${EKLV_DLLTOOL} -m ${eklv_machine} -d ${EKLV_IMPORT_DEF} -D $<TARGET_FILE_NAME:${target}>
      -l $<TARGET_LINKER_FILE:${target}> ${eklv_kill_at}
    COMMAND ${EKLV_LLVM_DLLTOOL} -m ${eklv_machine} -d ${EKLV_IMPORT_DEF} -D $<TARGET_FILE_NAME:${target}>
      -l $<TARGET_LINKER_FILE_DIR:${target}>/eklv.lib ${eklv_kill_at}
    COMMENT "Import libraries of $<TARGET_FILE_NAME:${target}> (MinGW and MSVC)" VERBATIM)
endfunction()
