# Runs the fault program in MODE (with the NAME=value settings of ENV, if
# any) and checks its exit status STATUS and the runtime error report TEXT on
# standard error (none for status 0).
function(check_case mode status text env)
  set(command ${PROGRAM} ${mode})
  if(env)
    set(command ${CMAKE_COMMAND} -E env ${env} ${command})
  endif()
  execute_process(COMMAND ${command}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE got TIMEOUT 60)
  if(NOT got STREQUAL status)
    message(FATAL_ERROR "${mode} ${env}: exit status ${got}, expected ${status}\nstderr: ${err}")
  endif()
  if(status STREQUAL "0")
    if(NOT err STREQUAL "")
      message(FATAL_ERROR "${mode}: quiet exit printed: ${err}")
    endif()
  else()
    string(FIND "${err}" "*** Runtime Error ${status}: ${text}\n*** at: " pos)
    if(pos EQUAL -1)
      message(FATAL_ERROR "${mode} ${env}: report not found in stderr: ${err}")
    endif()
    # One report, nothing after its address line.
    if(NOT err MATCHES "\\*\\*\\* at: [0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]h\n$")
      message(FATAL_ERROR "${mode} ${env}: report not ending in the address line: ${err}")
    endif()
  endif()
endfunction()

check_case(${MODE} ${STATUS} "${TEXT}" "${ENV}")
