# The image generator: the same library gives the same image, byte for byte,
# and each fault of the library fails the generator with a message naming it.
# Run with GENERATOR, SOURCE_DIR, BINARY_DIR (the build's) and WORK.
include(${SOURCE_DIR}/boot/modules.cmake)
include(${SOURCE_DIR}/boot/image_args.cmake)

# Runs the generator with the library file `replaced` (when not empty) read
# from its faulty copy in WORK.
function(generate output replaced)
  if(replaced STREQUAL "")
    oru_image_args(args ${SOURCE_DIR} ${BINARY_DIR})
  else()
    get_filename_component(base ${replaced} NAME)
    oru_image_args(args ${SOURCE_DIR} ${BINARY_DIR} ${replaced} ${WORK}/${base})
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 ${GENERATOR} ${output} ${args}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  set(status ${status} PARENT_SCOPE)
  set(report "${out}${err}" PARENT_SCOPE)
endfunction()

# Deterministic: the build's image again.
generate(${WORK}/again.cpp "")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the generator failed on the library: ${report}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/again.cpp ${BINARY_DIR}/generated/boot_image.cpp
                RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "the same library gave another image")
endif()

# Faults: file | text replaced | its replacement | what the report says.
# (Each case a quoted argument of its own: unbalanced brackets in a list
# would join its elements.)
foreach(case
  "library/functions.oru|pick s 1]|pick s 1 #{zz}]|invalid"
  "library/typesets.oru|number!: make typeset! [integer! float! percent!]|number!: make typeset! [integer! float! money!]|the typeset number! has other members (lacks percent!, has money!)"
  "library/typesets.oru|planar!: make typeset! [pair! point2D!]||the typeset planar! has no define record"
  "library/typesets.oru|any-type!: make typeset! [default! internal!]|number!: make typeset! [integer! float! percent!]|the word number! is defined twice"
  "library/typesets.oru|any-type!: make typeset! [default! internal!]||the typeset any-type! has no define record"
  "library/natives.oru|if: make native!|if: make object!|record 1 is no define record"
  "library/natives.oru|cond [any-type!] then-blk [block!]] 1]|cond [any-type!]] 1]|Error in library file library/natives.oru"
  "library/natives.oru|cond [any-type!] then-blk [block!]] 1]|then-blk [block!] cond [any-type!]] 1]|Error in library file library/natives.oru"
  "library/natives.oru|] 2]|] 1]|slot 1 is defined twice"
  "library/actions.oru|random: make action!|make: make action!|the word make is defined twice"
  "library/actions.oru|reflect: make action!|;reflect: make action!|action slot 3 has no define record"
  "library/routines.oru|boot-routine 'shift-left|boot-routine 'no-such-entry|no-such-entry"
  "library/routines.oru|data [integer!] bits [integer!]|data [integer!]|Error in library module library/routines.oru"
  "library/routines.oru|os-info: boot-routine 'os-info|os-info: none ; 'os-info|os-info"
  "library/operators.oru|**: make op! :power|**: make op! :no-such-word|Error in library module library/operators.oru")
  string(REGEX MATCH "^([^|]*)\\|([^|]*)\\|([^|]*)\\|(.*)$" matched "${case}")
  set(file "${CMAKE_MATCH_1}")
  set(from "${CMAKE_MATCH_2}")
  set(to "${CMAKE_MATCH_3}")
  set(expect "${CMAKE_MATCH_4}")
  file(READ ${SOURCE_DIR}/${file} text)
  string(FIND "${text}" "${from}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${file} no longer holds '${from}': update the case")
  endif()
  string(SUBSTRING "${text}" 0 ${at} head)
  string(LENGTH "${from}" n)
  math(EXPR rest "${at} + ${n}")
  string(SUBSTRING "${text}" ${rest} -1 tail)
  get_filename_component(base ${file} NAME)
  file(WRITE ${WORK}/${base} "${head}${to}${tail}")
  generate(${WORK}/fault.cpp ${file})
  file(REMOVE ${WORK}/${base})
  if(status EQUAL 0 OR EXISTS ${WORK}/fault.cpp)
    message(FATAL_ERROR "${file} with '${to}': the generator did not fail (status ${status})")
  endif()
  string(FIND "${report}" "${expect}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "${file} with '${to}': the report lacks '${expect}':\n${report}")
  endif()
endforeach()
file(REMOVE ${WORK}/again.cpp)
