# Installation and the Debian package.
#
# `cmake --install` puts the binary in bin/ and the manual page in
# share/man/man1/ under CMAKE_INSTALL_PREFIX, and honours DESTDIR.
# `cpack -G DEB` builds a package of the same files under /usr, with the
# page gzipped as Debian policy wants, the copyright file and changelog
# policy asks for in /usr/share/doc/txt2sheet, and the shared-library
# dependencies worked out by dpkg-shlibdeps where it is installed
# (dpkg-dev).

include(GNUInstallDirs)

install(TARGETS txt2sheet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/txt2sheet.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME txt2sheet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "txt2sheet developers")
set(CPACK_PACKAGE_CONTACT "txt2sheet developers <maintainers@txt2sheet.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "filter that turns delimited text into spreadsheet commands")
set(CPACK_PACKAGE_DESCRIPTION
  "txt2sheet reads lines of delimited text on standard input, such as a
comma-separated export or columns of figures separated by spaces, and
writes one spreadsheet command per field: let for a number, rightstring
or leftstring for a label, and closing format commands that give each
column a width and a number of fraction digits. Options choose the
delimiter, the start cell, row or column layout, steps and blocks.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_TXT2SHEET_LICENSE_NAME BSD-2-clause)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# A Debian revision makes the package non-native, as it is: the sources
# are released on their own, and the package is built from them. Its
# changelog (changelog.Debian.gz) must have an entry for each revision.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_TXT2SHEET_CHANGELOG ${CMAKE_CURRENT_LIST_DIR}/changelog.Debian)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_EXECUTABLE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-shlibdeps, name what a build with the system's g++ needs
  # (libstdc++6 brings libgcc-s1).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
endif()

# Run in the package's staging tree before the .deb is made: they gzip the
# manual page and add the files of /usr/share/doc there, so the package
# follows policy while `cmake --install` keeps the plain page and no
# Debian-only files.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/gzip-manpages.cmake
  ${CMAKE_CURRENT_LIST_DIR}/debian-doc.cmake)

include(CPack)
