# clock prints the time per evaluation, three significant digits at most
# (the integer part whole), a unit with a tab, then the code molded flat and
# cut to 70 characters; it returns the last result and runs at least once.
file(WRITE ${WORK}/clock.oru "Oru []
n: 0
r: clock/times [n: n + 1] 0
print [r n]
r: clock/times [n: n + 1] -5.5
print [r n]
clock/times [loop 10 [1 + 1]] 1000
clock [wait 0.03]
clock [wait 1.2]
clock [
    \"a long label\" \"a long label\" \"a long label\"
    \"a long label\" \"a long label\" \"a long label\"
]
")
execute_process(COMMAND ${ORU} ${WORK}/clock.oru OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status
                TIMEOUT 60)
set(time "([0-9][0-9][0-9]+|[0-9]\\.[0-9][0-9]?|[0-9][0-9]\\.[0-9]|[0-9]|[0-9][0-9])")
# One pattern over the whole output: brackets in the lines keep CMake from
# splitting it into a list.
string(CONCAT expect
  "^${time} (μs|ms)\t\\[n: n \\+ 1\\]\n"
  "1 1\n"
  "${time} (μs|ms)\t\\[n: n \\+ 1\\]\n"
  "2 2\n"
  "${time} μs\t\\[loop 10 \\[1 \\+ 1\\]\\]\n"
  "(2[5-9]\\.[0-9]|[3-9][0-9]\\.[0-9]|[1-9][0-9][0-9]+) ms\t\\[wait 0\\.03\\]\n"
  "[1-9][0-9][0-9][0-9]+ ms\t\\[wait 1\\.2\\]\n"
  "${time} (μs|ms)\t\\[\"a long label\" \"a long label\" \"a long label\" \"a long label\" \"a long l\n$"
)
if(NOT status EQUAL 0 OR NOT out MATCHES "${expect}")
  message(FATAL_ERROR "clock: status ${status}\nstdout: ${out}\nstderr: ${err}\npattern: ${expect}")
endif()
file(REMOVE ${WORK}/clock.oru)
