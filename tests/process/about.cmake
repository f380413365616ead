# about prints one line of version, platform and build date (with the
# commit when the build knows it); /debug the full report or, for a build
# made outside git, where to get one; /cc without a display only prints.
file(WRITE ${WORK}/about.oru "Oru []\nabout\nprint \"--\"\nabout/debug\nprint \"--\"\nabout/cc\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY ${ORU} ${WORK}/about.oru
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 60)
set(line "Oru [^ \n]+ for Linux built [^ \n]+( commit #[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])?\n")
set(debug_git "-----------ORU & PLATFORM VERSION----------- \nORU: \\[ branch: [^\n]* commit: #[0-9a-f]+ \\] \n")
string(APPEND debug_git "PLATFORM: \\[ name: \"[^\n]*\" OS: 'Linux arch: '[^ ]+ version: [^\n]* build: [^\n]* \\] \n-+\n")
set(debug_plain "Looks like this Oru binary has been built from source.\n[^\n]+\n[^\n]+\nand try your code on it before submitting an issue.\n")
if(NOT status EQUAL 0 OR NOT out MATCHES "^${line}--\n(${debug_git}|${debug_plain})--\n${line}$")
  message(FATAL_ERROR "status ${status}\nstdout: ${out}\nstderr: ${err}")
endif()
string(REGEX MATCH "\n----------+\n--" dashes "${out}")
if(dashes AND NOT dashes STREQUAL "\n--------------------------------------------\n--")
  message(FATAL_ERROR "the closing line of about/debug is not 44 dashes: ${dashes}")
endif()
file(REMOVE ${WORK}/about.oru)
