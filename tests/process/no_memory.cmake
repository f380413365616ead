# Out of memory under an address-space limit, no-memory is raised like any
# error: a try catches it and the script goes on once it lets go of its data;
# uncaught, it is reported and the script ends with the status of an
# uncaught error. (Raising it once took a failed allocation per nesting of
# the error's own making, until the machine stack overflowed.) The heap is
# filled with stress mode off: stress mode would collect at every one of its
# many allocations. The unit tests raise it under stress mode too.
if(SANITIZED)
  message(STATUS "skipped: the sanitizers' shadow memory needs far more address space")
  return()
endif()
set(fill "forever [chain: reduce [chain copy \"abcdefghijklmnopqrstuvwxyz\"]]")
file(WRITE ${WORK}/caught.oru "Oru []\nchain: none\ne: try [${fill}]\nchain: none\nprint e/id\nprint length? copy \"still running\"\n")
file(WRITE ${WORK}/uncaught.oru "Oru []\nchain: none\n${fill}\n")
# Script | status | standard output
foreach(case "caught|0|no-memory\n13\n" "uncaught|254|\\*\\*\\* Internal Error: ")
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 script)
  list(GET parts 1 want_status)
  list(GET parts 2 want_out)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ORU_GC_STRESS=0
                          bash -c "ulimit -v 100000 && exec \"$0\" \"$1\"" ${ORU} ${WORK}/${script}.oru
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 60)
  if(NOT status EQUAL want_status OR NOT out MATCHES "^${want_out}")
    message(FATAL_ERROR "${script}: status ${status}\nstdout: ${out}\nstderr: ${err}")
  endif()
endforeach()
