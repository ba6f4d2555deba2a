# Installation and packages.
#
# Linux: `cmake --install` puts the four programs, their manual pages, their
# bash completions, the udev rule for the bridges and the docs under the
# prefix; `cpack` makes a Debian package of the same files (configure with
# -DCMAKE_INSTALL_PREFIX=/usr; scripts/package.sh does it all and checks it).
# Windows (the mingw-w64 cross build): `cpack` makes a zip of the four .exe,
# the docs and README-windows.txt.

# One version for every program and package: kdtool's.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/app/version.h FW_VERSION_LINE REGEX "KDTOOL_VERSION\\[\\] = \"[0-9.]+\"")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" FW_VERSION "${FW_VERSION_LINE}")
if(NOT FW_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "No version found in src/app/version.h (KDTOOL_VERSION)")
endif()

set(FW_PROGRAMS)
foreach(program fwdownload fwdownload-sim kdtool hex2c)
  if(TARGET ${program})
    list(APPEND FW_PROGRAMS ${program})
  endif()
endforeach()
file(GLOB FW_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)

set(CPACK_PACKAGE_NAME fwdownload)
set(CPACK_PACKAGE_VERSION ${FW_VERSION})
set(CPACK_PACKAGE_VENDOR "Pelmoranth")
set(CPACK_PACKAGE_CONTACT "Pelmoranth FW team <dev@pelmoranth.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update tool for KD63507 touch controllers")
# Wrapped by hand: the Debian package takes the lines as they are.
set(CPACK_PACKAGE_DESCRIPTION [[
Writes firmware into a KD63507 touch controller over I2C through a
USB-HID-to-I2C bridge (the custom HID bridge board or a CP2112), with a
diagnostic console, ISP flash dump and programming, verify and erase, and
Intel HEX tools.

fwdownload runs an update; kdtool lists the bridges and runs the update, the
diagnostic console and the flash operations from scripts; fwdownload-sim is
fwdownload on virtual hardware; hex2c converts Intel HEX files. The udev rule
gives the logged-in user access to both bridges.]])
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The page that flashes from a browser, when it was built (scripts/web.sh
# build): the zip carries it in web/, the Debian package under
# share/fwdownload/web.
set(FW_WEB_DIR "" CACHE PATH "A built page (out/web) to install with the programs; empty: none")

if(WIN32)
  # The zip: everything in one folder, the programs at its top.
  install(TARGETS ${FW_PROGRAMS} RUNTIME DESTINATION .)
  configure_file(packaging/README-windows.txt ${CMAKE_BINARY_DIR}/README-windows.txt NEWLINE_STYLE WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/README-windows.txt README.md DESTINATION .)
  install(FILES ${FW_DOCS} DESTINATION docs)
  if(FW_WEB_DIR)
    install(DIRECTORY ${FW_WEB_DIR}/ DESTINATION web)
  endif()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME fwdownload-${FW_VERSION}-win64)
else()
  include(GNUInstallDirs)
  install(TARGETS ${FW_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # udev reads its rules from /lib/udev/rules.d (a package's place) and from
  # /usr/local/lib/udev/rules.d (a build installed from source).
  set(FW_UDEV_RULES_DIR "" CACHE STRING
      "Where the udev rule for the bridges goes (empty: /lib/udev/rules.d for the prefix /usr, else PREFIX/lib/udev/rules.d)")
  if(FW_UDEV_RULES_DIR)
    set(fw_udev_rules_dir ${FW_UDEV_RULES_DIR})
  elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(fw_udev_rules_dir /lib/udev/rules.d)
  else()
    set(fw_udev_rules_dir lib/udev/rules.d)
  endif()
  # Numbered below systemd's 73-seat-late.rules, which acts on its uaccess tag.
  install(FILES udev/70-fwdownload.rules DESTINATION ${fw_udev_rules_dir})
  if(FW_WEB_DIR)
    install(DIRECTORY ${FW_WEB_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/fwdownload/web)
  endif()
  # bash-completion loads a command's completion from the file of its name.
  install(FILES completion/kdtool completion/fwdownload completion/hex2c
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  install(FILES completion/fwdownload DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME fwdownload-sim)
  # Software centres learn from it which USB devices the package serves.
  install(FILES packaging/fwdownload.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

  # Manual pages and the changelog go compressed (gzip -n: no name or time
  # stamp, so a package's bytes depend on its sources alone).
  set(FW_GZIPPED)
  foreach(source IN ITEMS man/fwdownload.1 man/fwdownload-sim.1 man/kdtool.1 man/hex2c.1 packaging/changelog)
    get_filename_component(name ${source} NAME)
    set(gzipped ${CMAKE_BINARY_DIR}/gz/${name}.gz)
    add_custom_command(OUTPUT ${gzipped}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gz
                       COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/${source} > ${gzipped}
                       DEPENDS ${source} VERBATIM)
    list(APPEND FW_GZIPPED ${gzipped})
  endforeach()
  add_custom_target(fw_gzipped_docs ALL DEPENDS ${FW_GZIPPED})
  list(FILTER FW_GZIPPED INCLUDE REGEX "\\.1\\.gz$")
  install(FILES ${FW_GZIPPED} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_BINARY_DIR}/gz/changelog.gz packaging/copyright README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${FW_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

  set(CPACK_GENERATOR DEB)
  # The udev rule's absolute place goes into the package, not onto this machine.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
