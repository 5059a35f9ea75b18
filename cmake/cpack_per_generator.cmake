# Included by cpack once for each package it makes (CPACK_PROJECT_CONFIG_FILE).
# The .deb holds its docs where Debian wants them, in
# /usr/share/doc/line-shuffler with the copyright file and changelog, so it
# installs the tool, the manual page and those instead of the plain docs
# (components in cmake/packaging.cmake). Every other package takes a plain
# install.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS ${CPACK_LINE_SHUFFLER_DEB_PROJECTS})
endif()
