# Runs one script test: oru SCRIPT, standard output compared with SCRIPT's .out.
string(REGEX REPLACE "\\.oru$" ".out" expected_file "${SCRIPT}")
# On the evaluator's general road alone (ORU_EVAL_GENERAL=1), a test whose
# output depends on the frames the shortcuts do without (how deep a
# recursion gets before a stack overflows, and so where it is raised) is
# compared with NAME.general.out when there is one.
if("$ENV{ORU_EVAL_GENERAL}" STREQUAL "1")
  string(REGEX REPLACE "\\.oru$" ".general.out" general_file "${SCRIPT}")
  if(EXISTS "${general_file}")
    set(expected_file "${general_file}")
  endif()
endif()
get_filename_component(dir "${SCRIPT}" DIRECTORY)
# The script is named as it is in its directory, so that outputs showing the
# running scripts (error reports, system/state/source-files) do not depend on
# where the tree is checked out.
get_filename_component(script_name "${SCRIPT}" NAME)
execute_process(COMMAND ${ORU} ${script_name}
  WORKING_DIRECTORY ${dir}
  OUTPUT_VARIABLE actual
  ERROR_VARIABLE errors
  RESULT_VARIABLE status
  TIMEOUT 280)
if(NOT EXISTS "${expected_file}")
  message(FATAL_ERROR "missing expected output ${expected_file}")
endif()
file(READ "${expected_file}" expected)
if(NOT actual STREQUAL expected)
  file(WRITE "${SCRIPT}.actual" "${actual}")
  message(FATAL_ERROR "output differs from ${expected_file} (status ${status}); actual output kept in ${SCRIPT}.actual\n--- stderr:\n${errors}\n--- actual:\n${actual}")
endif()
