# The Debian package of the terminal (cpack -G DEB in a build folder): the
# program, its tools (kavrel-check, kavrel-export, kavrel-fleet), the
# benchmarks, the man pages, an example /etc/kavrel/def_config.json
# as a conffile and the systemd unit that starts the terminal at boot.
# Depends come from the libraries actually linked (dpkg-shlibdeps).
set(pkg ${PROJECT_SOURCE_DIR}/packaging)
set(KAVREL_DEB_VERSION ${PROJECT_VERSION}-1)
set(KAVREL_DEB_DOC share/doc/kavrel)

# The tools read cards and copies of them on the board itself.
set(KAVREL_TOOLS kavrel-check kavrel-export kavrel-fleet)
install(TARGETS ${KAVREL_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${pkg}/def_config.json DESTINATION /etc/kavrel)
# Debian 12 keeps system units in /lib (its /usr merge is not recorded in dpkg).
install(FILES ${pkg}/kavrel.service DESTINATION /lib/systemd/system)

# Documentation files are installed compressed, without a time stamp.
configure_file(${pkg}/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
list(TRANSFORM KAVREL_TOOLS APPEND .1 OUTPUT_VARIABLE tool_pages)
set(KAVREL_MAN_PAGES kavrel.1 ${tool_pages})
foreach(page IN LISTS KAVREL_MAN_PAGES)
  configure_file(${pkg}/${page} ${CMAKE_CURRENT_BINARY_DIR}/packaging/${page} COPYONLY)
endforeach()
foreach(doc IN ITEMS changelog.Debian ${KAVREL_MAN_PAGES})
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/packaging/${doc}.gz
    COMMAND gzip -9nf -k ${doc}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/${doc}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging)
endforeach()
list(TRANSFORM KAVREL_MAN_PAGES PREPEND ${CMAKE_CURRENT_BINARY_DIR}/packaging/ OUTPUT_VARIABLE man_paths)
list(TRANSFORM man_paths APPEND .gz)
add_custom_target(kavrel_package_docs ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz ${man_paths})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz ${pkg}/copyright
  DESTINATION ${KAVREL_DEB_DOC})
install(FILES ${man_paths} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${pkg}/lintian-overrides DESTINATION share/lintian/overrides RENAME kavrel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kavrel developers <kavrel@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "full-screen touch terminal for collecting camera data sets")
set(CPACK_PACKAGE_DESCRIPTION
  "An operator picks a scenario, a task, tags and devices, then captures colour\n\
images, depth aligned to colour and IMU samples from a depth camera (and a USB\n\
camera) into session folders on the SD card. A systemd unit starts the terminal\n\
full screen on the board's display at boot and restarts it when it crashes.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# CPack asks dpkg for the architecture, which is the build machine's.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# postinst makes the system user the unit runs as.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "v4l-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pkg}/conffiles ${pkg}/postinst ${pkg}/prerm ${pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
