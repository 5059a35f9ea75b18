# Shuffles the bundled example in a fresh folder under the system's temporary
# directory, so that neither the source nor the build tree is written to,
# prints the shuffled file and removes the folder again.
# Usage: cmake -DTOOL=<line_shuffler> -DEXAMPLE=<file.txt> -P run_example.cmake
if(DEFINED ENV{TMPDIR})
  set(temp_root "$ENV{TMPDIR}")
else()
  set(temp_root "/tmp")
endif()
string(RANDOM LENGTH 8 suffix)
set(folder "${temp_root}/line_shuffler_example_${suffix}")
file(MAKE_DIRECTORY "${folder}")
file(COPY_FILE "${EXAMPLE}" "${folder}/file.txt")

# The tool ends with "Press any key to exit..." and, on a console, waits for
# a key. A build target should not sit waiting for one, so its standard input
# is the null device: it reads the end of input and ends at once.
if(CMAKE_HOST_WIN32)
  set(no_input NUL)
else()
  set(no_input /dev/null)
endif()

message(STATUS "Running ${TOOL} in ${folder}")
execute_process(COMMAND "${TOOL}" WORKING_DIRECTORY "${folder}" INPUT_FILE "${no_input}" RESULT_VARIABLE status)
if(status EQUAL 0)
  message(STATUS "shuffled_file.txt, the example's lines in a random order:")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E cat "${folder}/shuffled_file.txt" RESULT_VARIABLE shown)
endif()
file(REMOVE_RECURSE "${folder}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "line_shuffler ended with status ${status}; removed ${folder}")
endif()
if(NOT shown EQUAL 0)
  message(FATAL_ERROR "could not show shuffled_file.txt; removed ${folder}")
endif()
message(STATUS "Removed ${folder}")
