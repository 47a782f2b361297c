# cpack -G ZIP in a Windows build: eklv-<version>-win32.zip (i686) or
# eklv-<version>-win64.zip (x86_64), one folder of that name holding
#   bin/      eklv.dll, eklvctl.exe
#   lib/      eklv.lib (MSVC), libeklv.dll.a (MinGW), eklv.def
#   include/  eklv/eklv.h
#   examples/ the two example hosts' sources and the example ini files
#   README.md, docs/windows.md
# The .debug files of a Release build are packed apart by the target
# eklv_debug_package (eklv-<version>-<arch>-debug.zip).
install(TARGETS eklv RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES $<TARGET_LINKER_FILE_DIR:eklv>/eklv.lib DESTINATION lib)
install(FILES ${EKLV_IMPORT_DEF} DESTINATION lib RENAME eklv.def)
if(TARGET eklvctl)
  install(TARGETS eklvctl RUNTIME DESTINATION bin)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/eklv/eklv.h DESTINATION include/eklv)
install(FILES ${PROJECT_SOURCE_DIR}/examples/example_host_win32.c ${PROJECT_SOURCE_DIR}/examples/linked_host_win32.c
  ${PROJECT_SOURCE_DIR}/examples/eklv.ini ${PROJECT_SOURCE_DIR}/examples/USBConnectivityConfig.ini
  DESTINATION examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/windows.md DESTINATION docs)

set(EKLV_PACKAGE_NAME eklv-${PROJECT_VERSION}-${EKLV_WINDOWS_ARCH})
if(EKLV_SPLIT_DEBUG)
  # The debug files under their own names, to be unpacked beside the
  # binaries of the package (bin/).
  set(stage ${CMAKE_BINARY_DIR}/debug-package)
  set(debug_files $<TARGET_FILE:eklv>.debug)
  set(debug_names eklv.dll.debug)
  if(TARGET eklvctl)
    list(APPEND debug_files $<TARGET_FILE:eklvctl>.debug)
    list(APPEND debug_names eklvctl.exe.debug)
  endif()
  add_custom_target(eklv_debug_package
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
    COMMAND ${CMAKE_COMMAND} -E copy ${debug_files} ${stage}
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage}
      ${CMAKE_COMMAND} -E tar cf ${CMAKE_BINARY_DIR}/${EKLV_PACKAGE_NAME}-debug.zip --format=zip ${debug_names}
    DEPENDS eklv $<$<TARGET_EXISTS:eklvctl>:eklvctl>
    COMMENT "Debug files: ${EKLV_PACKAGE_NAME}-debug.zip" VERBATIM)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME eklv)
set(CPACK_PACKAGE_VENDOR "${EKLV_COMPANY}")
set(CPACK_PACKAGE_FILE_NAME ${EKLV_PACKAGE_NAME})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "eklv.dll: access to USB-attached mobile phones for service and flashing hosts")
include(CPack)
