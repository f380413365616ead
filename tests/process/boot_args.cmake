# The command line's arguments at start-up: the program's path, the ones
# after the script's name as given (a lone double quote stays an argument of
# its own, blanks stay inside an argument), and the raw text after the
# script's name as the script's arguments; the cache directory under HOME, or /tmp without it.
file(MAKE_DIRECTORY "${WORK}/with space")
file(CREATE_LINK ${ORU} "${WORK}/with space/oru" SYMBOLIC)
file(WRITE ${WORK}/args.oru "Oru []
print system/options/boot
print mold system/options/args
print mold system/script/args
print mold system/options/cache
print mold type? system/version
")
execute_process(COMMAND ${CMAKE_COMMAND} -E env HOME=/home/someone "${WORK}/with space/oru" args.oru a "b c" "\"" "x\"y"
                WORKING_DIRECTORY ${WORK} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 60)
set(expected "${WORK}/with space/oru
[\"a\" \"b c\" {\"} {x\"y}]
{a \"b c\" \" x\"y}
%/home/someone/.oru/
tuple!
")
if(NOT status EQUAL 0 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "arguments: status ${status}\nstdout: ${out}\nexpected: ${expected}\nstderr: ${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=HOME ${ORU} args.oru
                WORKING_DIRECTORY ${WORK} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 60)
if(NOT status EQUAL 0 OR NOT out MATCHES "\n%/tmp/.oru/\n")
  message(FATAL_ERROR "no HOME: status ${status}\nstdout: ${out}\nstderr: ${err}")
endif()
file(REMOVE_RECURSE "${WORK}/with space" ${WORK}/args.oru)
