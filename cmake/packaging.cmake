# Install rules and release packages.
#   cmake --install build/release --prefix ~/.local   -> ~/.local/bin/line_shuffler
#   cpack --preset package                            -> .tar.gz and .deb
#   cpack --preset windows-x86 / windows-x64          -> .zip with line_shuffler.exe
include(GNUInstallDirs)

if(WIN32)
  # A Windows user unpacks the .zip anywhere and starts the .exe from there,
  # so everything sits at the top of the archive.
  set(line_shuffler_bin_dir .)
  set(line_shuffler_doc_dir .)
else()
  set(line_shuffler_bin_dir ${CMAKE_INSTALL_BINDIR})
  set(line_shuffler_doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()

install(TARGETS line_shuffler RUNTIME DESTINATION ${line_shuffler_bin_dir})
install(FILES README.md LICENSE DESTINATION ${line_shuffler_doc_dir})

set(CPACK_PACKAGE_NAME line_shuffler)
set(CPACK_PACKAGE_VENDOR "The line_shuffler authors")
set(CPACK_PACKAGE_CONTACT "The line_shuffler authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Puts the lines of a text file into a random order")
set(CPACK_PACKAGE_DESCRIPTION
  "Reads file.txt in the current folder and writes its lines, shuffled, to shuffled_file.txt, holding at most one line in memory.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# Only what the install rules name: the build tree's other targets (tests)
# have no install rules, and the source tree is never packed.
set(CPACK_SOURCE_GENERATOR "")

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
endif()

include(CPack)
