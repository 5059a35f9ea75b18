# Removes the files that the last cmake --install of a build tree wrote, as
# its install_manifest.txt lists them, then the tool's own folders
# (share/doc/line_shuffler) if that leaves them empty; shared folders such
# as bin/ stay.
# Usage: cmake --build <build dir> --target uninstall
#    or: cmake -DMANIFEST=<build dir>/install_manifest.txt -P uninstall.cmake
if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "Nothing to uninstall: ${MANIFEST} is missing; it is written by cmake --install")
endif()

file(STRINGS "${MANIFEST}" installed)
set(own_folders)
foreach(file IN LISTS installed)
  if(EXISTS "${file}" OR IS_SYMLINK "${file}")
    message(STATUS "Removing ${file}")
    file(REMOVE "${file}")
    if(EXISTS "${file}" OR IS_SYMLINK "${file}")
      message(FATAL_ERROR "Could not remove ${file}")
    endif()
  else()
    message(STATUS "Already gone: ${file}")
  endif()
  get_filename_component(folder "${file}" DIRECTORY)
  get_filename_component(folder_name "${folder}" NAME)
  if(folder_name STREQUAL "line_shuffler")
    list(APPEND own_folders "${folder}")
  endif()
endforeach()

list(REMOVE_DUPLICATES own_folders)
foreach(folder IN LISTS own_folders)
  file(GLOB left "${folder}/*" "${folder}/.*")
  if(IS_DIRECTORY "${folder}" AND NOT left)
    message(STATUS "Removing the empty folder ${folder}")
    file(REMOVE_RECURSE "${folder}")
  endif()
endforeach()
