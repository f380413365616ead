# Under the address sanitizer with its own fault handling on, a fault is the
# sanitizer's report (the access and the stacks behind it), not the runtime's.
execute_process(COMMAND ${PROGRAM} ${MODE} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE got TIMEOUT 60)
if(got EQUAL 0 OR NOT err MATCHES "AddressSanitizer: SEGV" OR err MATCHES "Runtime Error")
  message(FATAL_ERROR "${MODE}: status ${got}\nstderr: ${err}")
endif()
