# Output that cannot be written ends the script, never silently: to a full
# device with a report on standard error and status 1, to a pipe whose reader
# has gone by SIGPIPE, as the shell expects of any writer (status 141).
file(WRITE ${WORK}/lines.oru "Oru []\nloop 100000 [print \"a line of output, long enough to fill a pipe\"]\nprint \"after the loop\"\n")
execute_process(COMMAND ${ORU} ${WORK}/lines.oru OUTPUT_FILE /dev/full ERROR_VARIABLE err RESULT_VARIABLE status
                TIMEOUT 60)
if(NOT status EQUAL 1 OR NOT err STREQUAL "*** Error: cannot write the output: No space left on device\n")
  message(FATAL_ERROR "/dev/full: status ${status}\nstderr: ${err}")
endif()
execute_process(COMMAND bash -c "\"$0\" \"$1\" | head -c 1 >/dev/null; echo \"\${PIPESTATUS[0]}\"" ${ORU} ${WORK}/lines.oru
                OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
if(NOT out STREQUAL "141\n" OR NOT err STREQUAL "")
  message(FATAL_ERROR "closed pipe: status ${out}\nstderr: ${err}")
endif()
# Started with standard output closed, the output has nowhere to go: a write
# error, not bytes written into whichever file takes the descriptor next.
execute_process(COMMAND bash -c "\"$0\" \"$1\" >&-; echo \"$?\"" ${ORU} ${WORK}/lines.oru
                OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
if(NOT out STREQUAL "1\n" OR NOT err STREQUAL "*** Error: cannot write the output: Bad file descriptor\n")
  message(FATAL_ERROR "closed output: status ${out}\nstderr: ${err}")
endif()
