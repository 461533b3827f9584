# Writes and installs the two files Debian wants beside every package's
# documentation: copyright, machine-readable and made from LICENSE, and
# changelog.gz, one entry for the project() version (the changes themselves
# are in git). Needs CPACK_PACKAGE_CONTACT for the entry's signature.

# LICENSE's copyright line, then its terms in the copyright file's form: each
# line indented by one space, an empty line written as " .".
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.*)$")
  message(FATAL_ERROR "LICENSE has no \"Copyright (c) ...\" line")
endif()
set(DEB_COPYRIGHT "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " DEB_LICENSE_TERMS " ${terms}")
# Debian calls this licence text Expat: "MIT" names several.
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright
  CONTENT "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}

Files: *
Copyright: ${DEB_COPYRIGHT}
License: Expat
${DEB_LICENSE_TERMS}
")

# SOURCE_DATE_EPOCH, when set, fixes the date for a reproducible package.
string(TIMESTAMP deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
  CONTENT "${PROJECT_NAME} (${PROJECT_VERSION}) unstable; urgency=medium

  * Version ${PROJECT_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${deb_date}
")
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
  COMMAND ${GZIP_EXECUTABLE} -9nkf ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(debian_changelog ALL
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)

install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright
              ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
