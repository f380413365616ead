# quit-return ends the process at once with its status, from inside nested
# calls, and what was printed before it still reaches standard output (the
# exit skips every other clean-up, so the output is flushed first).
file(WRITE ${WORK}/quit.oru "Oru []\nprin \"before\"\nprint \" the exit\"\nf: func [] [loop 2 [if true [quit-return 3]]]\nf\nprint \"never\"\n")
execute_process(COMMAND ${ORU} ${WORK}/quit.oru OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status
                TIMEOUT 60)
if(NOT status EQUAL 3 OR NOT out STREQUAL "before the exit\n")
  message(FATAL_ERROR "quit-return 3: status ${status}\nstdout: ${out}\nstderr: ${err}")
endif()
# Output written through a pipe is block-buffered: the same with a file.
execute_process(COMMAND ${ORU} ${WORK}/quit.oru OUTPUT_FILE ${WORK}/quit.txt RESULT_VARIABLE status TIMEOUT 60)
file(READ ${WORK}/quit.txt out)
if(NOT status EQUAL 3 OR NOT out STREQUAL "before the exit\n")
  message(FATAL_ERROR "quit-return 3 into a file: status ${status}\nstdout: ${out}")
endif()
file(REMOVE ${WORK}/quit.oru ${WORK}/quit.txt)
