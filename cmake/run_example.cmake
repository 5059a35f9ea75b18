# Shuffles the bundled example in a fresh folder under the system's temporary
# directory, so that neither the source nor the build tree is written to.
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

message(STATUS "Running ${TOOL} in ${folder}")
execute_process(COMMAND "${TOOL}" WORKING_DIRECTORY "${folder}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "line_shuffler ended with status ${status}")
endif()

file(READ "${folder}/shuffled_file.txt" shuffled)
message(STATUS "${folder}/shuffled_file.txt holds:\n${shuffled}")
