# A script is expanded as a whole before any of it runs, so a macro error in
# it comes before its first line. When nothing catches the error the run
# ends as any uncaught error does, with status 254: its report printed and
# none of the script run. A `try` around the `do` of such a script catches
# the same error and the run goes on to its end.
function(run_script name text)
  file(WRITE ${WORK}/${name}.oru "Oru []\n${text}")
  execute_process(COMMAND ${ORU} ${WORK}/${name}.oru OUTPUT_VARIABLE out ERROR_VARIABLE err
                  RESULT_VARIABLE status TIMEOUT 60)
  file(REMOVE ${WORK}/${name}.oru)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  set(status "${status}" PARENT_SCOPE)
endfunction()

run_script(uncaught "print \"never\"\n#macro integer! func [a] [a]\nprint \"never\"\n")
string(FIND "${out}" "*** Macro Error: invalid specification\n\n*** Where: [integer! func [a]]\n" at)
string(FIND "${out}${err}" "*** User Error: Macro Error: invalid specification" user)
if(NOT status EQUAL 254 OR NOT at EQUAL 0 OR user LESS 0 OR out MATCHES "never")
  message(FATAL_ERROR "uncaught macro error: status ${status}\nstdout: ${out}\nstderr: ${err}")
endif()

file(WRITE ${WORK}/inner.oru "Oru []\nprint \"inner never\"\n#if true 5\n")
run_script(caught "print type? try [do %inner.oru]\nprint \"after\"\n")
file(REMOVE ${WORK}/inner.oru)
if(NOT status EQUAL 0 OR NOT out STREQUAL "*** Preprocessor Error: Syntax error\n\n*** Where: #if true 5\nerror\nafter\n")
  message(FATAL_ERROR "caught macro error: status ${status}\nstdout: ${out}\nstderr: ${err}")
endif()
