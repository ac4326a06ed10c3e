# CPack pre-build script: puts what Debian policy wants in
# /usr/share/doc/<package> into the staging tree: the copyright file, in
# the machine-readable format and made from LICENSE so the two cannot
# drift apart, and the package's changelog, gzipped with -9n (no name or
# time stamp) so the package is reproducible. It runs for the DEB
# generator only; `cmake --install` installs neither file.

if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(docdir
  "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${docdir}")

# The copyright file. LICENSE holds a title, the copyright line, then the
# licence text, which the format wants indented by one space, with a
# lone "." for each empty line.
file(READ "${CPACK_RESOURCE_FILE_LICENSE}" licence)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([0-9][0-9, -]*[0-9]), ([^\n]+)\n\n")
  message(FATAL_ERROR "${CPACK_RESOURCE_FILE_LICENSE}: no line \"Copyright (c) YEARS, HOLDER\"")
endif()
set(years "${CMAKE_MATCH_1}")
set(holder "${CMAKE_MATCH_2}")
string(FIND "${licence}" "${CMAKE_MATCH_0}" at)
string(LENGTH "${CMAKE_MATCH_0}" len)
math(EXPR at "${at} + ${len}")
string(SUBSTRING "${licence}" ${at} -1 text)
string(STRIP "${text}" text)
string(REPLACE "\n" "\n " text " ${text}")
string(REPLACE "\n \n" "\n .\n" text "${text}")
file(WRITE "${docdir}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: ${years} ${holder}
License: ${CPACK_TXT2SHEET_LICENSE_NAME}
${text}
")

# The changelog's latest entry must be the one of the version packaged.
set(version "${CPACK_PACKAGE_VERSION}")
if(CPACK_DEBIAN_PACKAGE_RELEASE)
  string(APPEND version "-${CPACK_DEBIAN_PACKAGE_RELEASE}")
endif()
file(STRINGS "${CPACK_TXT2SHEET_CHANGELOG}" top LIMIT_COUNT 1)
if(NOT top MATCHES "^${CPACK_PACKAGE_NAME} \\(([^)]+)\\) ")
  message(FATAL_ERROR "${CPACK_TXT2SHEET_CHANGELOG}: its first line names no version")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL version)
  message(FATAL_ERROR "${CPACK_TXT2SHEET_CHANGELOG}: the latest entry is for ${CMAKE_MATCH_1},"
    " the package is ${version}: add an entry for ${version}")
endif()
find_program(GZIP_EXECUTABLE gzip)
if(NOT GZIP_EXECUTABLE)
  message(FATAL_ERROR "gzip is needed for changelog.Debian.gz")
endif()
execute_process(COMMAND "${GZIP_EXECUTABLE}" -9nc "${CPACK_TXT2SHEET_CHANGELOG}"
  OUTPUT_FILE "${docdir}/changelog.Debian.gz" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip ${CPACK_TXT2SHEET_CHANGELOG} failed: ${rc}")
endif()
file(CHMOD "${docdir}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(CHMOD "${docdir}/copyright" "${docdir}/changelog.Debian.gz"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
