# The fuzz target of the base 2/16/58/64 codecs. Every build replays its seed
# corpus (corpus/binary_base) through an ordinary program
# (binary_base_replay.cpp); with ORU_FUZZ under clang it is also built as the
# libFuzzer target binary_base_fuzz.
add_executable(binary_base_replay ${CMAKE_CURRENT_LIST_DIR}/binary_base_fuzz.cpp
               ${CMAKE_CURRENT_LIST_DIR}/binary_base_replay.cpp)
target_link_libraries(binary_base_replay PRIVATE oru_core)
add_test(NAME fuzz_replay.binary_base COMMAND binary_base_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/binary_base)
set_tests_properties(fuzz_replay.binary_base PROPERTIES LABELS fuzz)

if(ORU_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_executable(binary_base_fuzz ${CMAKE_CURRENT_LIST_DIR}/binary_base_fuzz.cpp)
  target_compile_options(binary_base_fuzz PRIVATE -fsanitize=fuzzer -fsanitize=address,undefined
                         -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(binary_base_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(binary_base_fuzz PRIVATE oru_core)
endif()
