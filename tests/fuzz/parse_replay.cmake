# The parse fuzz target's seed corpus, replayed by ctest in the normal and
# sanitizer builds through a small main (the fuzz build runs the target
# itself instead).
if(ORU_FUZZ)
  return()
endif()
add_executable(parse_replay ${CMAKE_CURRENT_LIST_DIR}/parse_replay.cpp ${CMAKE_CURRENT_LIST_DIR}/parse_fuzz.cpp)
target_link_libraries(parse_replay PRIVATE oru_core)
add_test(NAME fuzz_replay.parse COMMAND parse_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/parse)
set_tests_properties(fuzz_replay.parse PROPERTIES LABELS fuzz)
