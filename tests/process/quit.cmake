# quit ends the process without unwinding: a surrounding try or catch does
# not stop it, the status is /return's (0 without), and everything printed
# before it reaches a pipe or a file. The console's configuration is saved
# through _save-cfg, looked up at the call, only when system/console is set.
function(run_quit name body expect_status expect_out)
  file(WRITE ${WORK}/${name}.oru "Oru []\n${body}\n")
  execute_process(COMMAND ${ORU} ${WORK}/${name}.oru OUTPUT_VARIABLE out ERROR_VARIABLE err
                  RESULT_VARIABLE status TIMEOUT 60)
  if(NOT status EQUAL ${expect_status} OR NOT out STREQUAL "${expect_out}")
    message(FATAL_ERROR "${name}: status ${status}\nstdout: ${out}\nstderr: ${err}")
  endif()
  execute_process(COMMAND ${ORU} ${WORK}/${name}.oru OUTPUT_FILE ${WORK}/${name}.txt RESULT_VARIABLE status
                  TIMEOUT 60)
  file(READ ${WORK}/${name}.txt out)
  if(NOT status EQUAL ${expect_status} OR NOT out STREQUAL "${expect_out}")
    message(FATAL_ERROR "${name} into a file: status ${status}\nstdout: ${out}")
  endif()
  file(REMOVE ${WORK}/${name}.oru ${WORK}/${name}.txt)
endfunction()

run_quit(plain "print \"a\"\nquit\nprint \"never\"" 0 "a\n")
run_quit(status "f: func [] [loop 2 [try [attempt/safer [quit/return 3]]]]\nprin \"b\"\nf\nprint \"never\"" 3 "b")
run_quit(no_console "system/console: none\n_save-cfg: does [print \"saved\"]\nquit/return 4" 4 "")
run_quit(console
  "_save-cfg: does [print \"saved\"]\nsystem/console: context [size: 80x24]\nprint \"x\"\nquit/return 5" 5 "x\nsaved\n")
run_quit(console_late "system/console: context [size: 80x24]\nquit/return 6" 6 "")
