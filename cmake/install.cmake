# Installation under GNUInstallDirs and the Debian package made from it:
# the two libraries (versioned sonames), the headers, eklvctl, the example
# ini files (the example eklv.ini also as the installed settings), the udev
# rule made from that eklv.ini, the docs, eklv.pc and the CMake package
# (find_package(eklv): eklv::eklv, eklv::host).
include(CMakePackageConfigHelpers)

set(EKLV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/eklv)
# Relative destinations throughout: every file lands under the prefix given
# at install time (and under DESTDIR).
set(EKLV_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule is installed (relative: under the prefix)")

install(TARGETS eklv eklv_host EXPORT eklvTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/eklv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT eklvTargets NAMESPACE eklv:: DESTINATION ${EKLV_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/eklvConfig.cmake.in
  ${PROJECT_BINARY_DIR}/eklvConfig.cmake INSTALL_DESTINATION ${EKLV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/eklvConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/eklvConfig.cmake ${PROJECT_BINARY_DIR}/eklvConfigVersion.cmake
  DESTINATION ${EKLV_CMAKE_DIR})

# eklv.pc finds its prefix from its own place, so a staged or moved tree works.
file(RELATIVE_PATH EKLV_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" EKLV_PC_TO_PREFIX "${EKLV_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/eklv.pc.in ${PROJECT_BINARY_DIR}/eklv.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/eklv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The installed settings: the library reads EKLV_SETTINGS_DIR/eklv.ini (the
# top-level CMakeLists.txt) when none lies beside it (src/core/folder_rules.h).
install(FILES ${PROJECT_SOURCE_DIR}/examples/eklv.ini DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/eklv)
install(FILES ${PROJECT_SOURCE_DIR}/examples/eklv.ini ${PROJECT_SOURCE_DIR}/examples/USBConnectivityConfig.ini
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/installed/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/host)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")

if(EKLV_BUILD_TOOLS)
  set_target_properties(eklvctl PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS eklvctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The rule for the phones the example eklv.ini supports, made by eklvctl.
  set(EKLV_UDEV_RULE ${PROJECT_BINARY_DIR}/70-eklv.rules)
  add_custom_command(OUTPUT ${EKLV_UDEV_RULE}
    COMMAND eklvctl udev-rules --ini examples/eklv.ini -o ${EKLV_UDEV_RULE}
    DEPENDS eklvctl ${PROJECT_SOURCE_DIR}/examples/eklv.ini WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)
  add_custom_target(eklv_udev_rule ALL DEPENDS ${EKLV_UDEV_RULE})
  install(FILES ${EKLV_UDEV_RULE} DESTINATION ${EKLV_UDEV_RULES_DIR})
endif()

# cpack -G DEB in a build configured with CMAKE_INSTALL_PREFIX=/usr and
# CMAKE_INSTALL_SYSCONFDIR=/etc (the settings folder is compiled in, so the
# package's folders are the build's).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME eklv)
set(CPACK_PACKAGE_VENDOR "eklv")
set(CPACK_PACKAGE_CONTACT "eklv maintainers <eklv@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "access to USB-attached mobile phones for service and flashing hosts")
set(CPACK_PACKAGE_DESCRIPTION "libeklv and libeklv_host with their headers, eklvctl, the example settings in /etc/eklv, a udev rule for the phones of the example eklv.ini, pkg-config and CMake package files.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps must find the package's own libraries for eklvctl.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
# umockdev-wrapper runs "eklvctl demo".
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, umockdev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles
  ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
