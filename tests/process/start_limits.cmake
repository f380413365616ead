# Under an address-space limit (ulimit -v) the runtime sizes what it reserves
# at start (the node region, the interpreter's stack) to the limit: it starts
# and runs a script under 1 GB, and under a limit too small to start it ends
# with its out-of-memory report (runtime error 94), never a crash.
if(SANITIZED)
  message(STATUS "skipped: the sanitizers' shadow memory needs far more address space")
  return()
endif()
file(WRITE ${WORK}/work.oru "Oru []
f: func [n] [f n + 1]
print type? try [f 1]
b: copy []
repeat i 5000 [append b form i]
print length? b
")
# Limit in KiB | whether the script must run
foreach(case "1000000|yes" "200000|either" "50000|either" "30000|either")
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 limit)
  list(GET parts 1 must_run)
  execute_process(COMMAND bash -c "ulimit -v $0 && exec \"$1\" \"$2\"" ${limit} ${ORU} ${WORK}/work.oru
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 120)
  set(ran FALSE)
  if(status EQUAL 0 AND out STREQUAL "error\n5000\n" AND err STREQUAL "")
    set(ran TRUE)
  endif()
  set(refused FALSE)
  if(status EQUAL 94 AND err MATCHES "^\\*\\*\\* Runtime Error 94: out of memory\n\\*\\*\\* at: [0-9A-F]+h\n$")
    set(refused TRUE)
  endif()
  # Between the two, a limit may let it start but not finish: the script's
  # own allocation then fails with the language's memory error, reported.
  set(ran_out FALSE)
  if(status EQUAL 254 AND out MATCHES "\\*\\*\\* Internal Error: not enough memory")
    set(ran_out TRUE)
  endif()
  if(NOT ran AND (must_run STREQUAL "yes" OR NOT (refused OR ran_out)))
    message(FATAL_ERROR "ulimit -v ${limit}: status ${status}\nstdout: ${out}\nstderr: ${err}")
  endif()
endforeach()
