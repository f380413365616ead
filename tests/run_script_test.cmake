# Runs one script test: oru SCRIPT, standard output compared with SCRIPT's .out.
string(REGEX REPLACE "\\.oru$" ".out" expected_file "${SCRIPT}")
get_filename_component(dir "${SCRIPT}" DIRECTORY)
execute_process(COMMAND ${ORU} ${SCRIPT}
  WORKING_DIRECTORY ${dir}
  OUTPUT_VARIABLE actual
  ERROR_VARIABLE errors
  RESULT_VARIABLE status
  TIMEOUT 120)
if(NOT EXISTS "${expected_file}")
  message(FATAL_ERROR "missing expected output ${expected_file}")
endif()
file(READ "${expected_file}" expected)
if(NOT actual STREQUAL expected)
  file(WRITE "${SCRIPT}.actual" "${actual}")
  message(FATAL_ERROR "output differs from ${expected_file} (status ${status}); actual output kept in ${SCRIPT}.actual\n--- stderr:\n${errors}\n--- actual:\n${actual}")
endif()
