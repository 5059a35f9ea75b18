# Install rules and release packages.
#   cmake --install build/release --prefix ~/.local   -> ~/.local/bin/line_shuffler
#   cmake --build build/release --target uninstall    -> removes what that installed
#   cpack --preset package                            -> .tar.gz and .deb
#   cpack --preset windows-x86 / windows-x64          -> .zip with line_shuffler.exe
#
# The files come in components:
#   tool     the executable
#   docs     README.md and LICENSE in share/doc/line_shuffler (Windows: beside the .exe)
#   manual   the manual page, line_shuffler.1.gz in share/man/man1 (not on Windows)
#   debian   the .deb's own docs in share/doc/line-shuffler: README.md (gzipped
#            when over 4 KB), copyright (the licence) and changelog.gz; left
#            out of a plain install
# cmake --install, the .tar.gz and the .zip take all but debian; the .deb
# takes tool, manual and debian (cmake/cpack_per_generator.cmake).
include(GNUInstallDirs)

if(WIN32)
  # A Windows user unpacks the .zip anywhere and starts the .exe from there,
  # so everything sits at the top of the archive. Windows has no man, and the
  # README says what the manual page does.
  set(line_shuffler_bin_dir .)
  set(line_shuffler_doc_dir .)
else()
  set(line_shuffler_bin_dir ${CMAKE_INSTALL_BINDIR})
  set(line_shuffler_doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()

install(TARGETS line_shuffler RUNTIME DESTINATION ${line_shuffler_bin_dir} COMPONENT tool)
if(NOT WIN32 AND CMAKE_OBJCOPY)
  # A stripped install (cmake --install --strip, and every package, as
  # CPACK_STRIP_FILES asks) also drops the .comment section, the compiler's
  # version strings, as Debian's dh_strip does; lintian asks for it.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${line_shuffler_bin_dir}/line_shuffler\"
                      RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR \"line_shuffler: objcopy could not remove .comment\")
      endif()
    endif()" COMPONENT tool)
endif()
install(FILES README.md LICENSE DESTINATION ${line_shuffler_doc_dir} COMPONENT docs)

if(NOT WIN32)
  # Compressed as Debian wants them: gzip -9, without name or time stamp, so
  # the same source gives the same bytes. This happens while configuring, and
  # again whenever a source changes, so that cmake --install needs no build
  # step beyond the tool's (the README builds only run-example before it).
  # The .deb's README goes compressed too: Debian compresses every document
  # over 4 KB in /usr/share/doc but the copyright file.
  find_program(LINE_SHUFFLER_GZIP gzip REQUIRED)
  foreach(pair "doc/line_shuffler.1:line_shuffler.1.gz" "packaging/debian/changelog:changelog.gz"
               "README.md:README.md.gz")
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 name)
    set(compressed ${CMAKE_CURRENT_BINARY_DIR}/compressed/${name})
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/compressed)
    execute_process(COMMAND ${LINE_SHUFFLER_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/${source}
                    OUTPUT_FILE ${compressed}.new RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "line_shuffler: gzip could not compress ${source}")
    endif()
    file(COPY_FILE ${compressed}.new ${compressed} ONLY_IF_DIFFERENT)
    file(REMOVE ${compressed}.new)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${source})
  endforeach()

  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/compressed/line_shuffler.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manual)
  set(line_shuffler_deb_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/line-shuffler)
  file(SIZE ${PROJECT_SOURCE_DIR}/README.md readme_size)
  if(readme_size GREATER 4096)
    set(deb_readme ${CMAKE_CURRENT_BINARY_DIR}/compressed/README.md.gz)
  else()
    set(deb_readme README.md)
  endif()
  install(FILES ${deb_readme} packaging/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/compressed/changelog.gz
          DESTINATION ${line_shuffler_deb_doc_dir} COMPONENT debian EXCLUDE_FROM_ALL)
endif()

# Removes what the last cmake --install of this build tree wrote, as listed
# in its install_manifest.txt (cmake/uninstall.cmake).
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DMANIFEST=${CMAKE_CURRENT_BINARY_DIR}/install_manifest.txt
          -P ${PROJECT_SOURCE_DIR}/cmake/uninstall.cmake
  VERBATIM)

set(CPACK_PACKAGE_NAME line_shuffler)
set(CPACK_PACKAGE_VENDOR "The line_shuffler authors")
# A placeholder address under a reserved domain, until the project has one
# of its own; packaging/debian/{copyright,changelog} give the same.
set(CPACK_PACKAGE_CONTACT "The line_shuffler authors <line-shuffler@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Puts the lines of a text file into a random order")
# Debian's extended description: lines of at most 80 columns, an empty line
# between paragraphs.
set(CPACK_PACKAGE_DESCRIPTION [[
line_shuffler reads file.txt in the current folder and writes its lines,
shuffled, to shuffled_file.txt in that folder, through a short console
dialogue that ends with a key wait. Every line is copied byte for byte,
whatever its length.

Its memory grows with the number of lines, never with their length: peak
resident memory is at most 24 MiB + 9 bytes a line, whatever the lines hold.
It sorts the lines in the file that becomes the shuffled copy.]])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# Folders made while packing are 0755 whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Only what the install rules name: the build tree's other targets (tests)
# have no install rules, and the source tree is never packed.
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_per_generator.cmake)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ DEB)
  # Debian package names have no underscores.
  set(CPACK_DEBIAN_PACKAGE_NAME line-shuffler)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The binary's real library needs (libc6, libstdc++6, libgcc-s1 and their
  # versions) as dpkg-shlibdeps (dpkg-dev) reads them from the binary.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What cmake/cpack_per_generator.cmake installs into the .deb.
  set(CPACK_LINE_SHUFFLER_DEB_PROJECTS
    "${CMAKE_BINARY_DIR};line_shuffler;tool;/"
    "${CMAKE_BINARY_DIR};line_shuffler;manual;/"
    "${CMAKE_BINARY_DIR};line_shuffler;debian;/")
endif()

include(CPack)
