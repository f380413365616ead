# The fuzz target of the decoders of outside text (io/: lenient UTF-8, lines,
# HTTP header lines, the OS description, command lines). Every build replays
# its seed corpus (corpus/io_text) through the replay main of parse_replay.cpp;
# with ORU_FUZZ under clang it is also built as the libFuzzer target
# io_text_fuzz.
add_executable(io_text_replay ${CMAKE_CURRENT_LIST_DIR}/io_text_fuzz.cpp ${CMAKE_CURRENT_LIST_DIR}/parse_replay.cpp)
target_link_libraries(io_text_replay PRIVATE oru_core)
add_test(NAME fuzz_replay.io_text COMMAND io_text_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/io_text)
set_tests_properties(fuzz_replay.io_text PROPERTIES LABELS fuzz)

if(ORU_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_executable(io_text_fuzz ${CMAKE_CURRENT_LIST_DIR}/io_text_fuzz.cpp)
  target_compile_options(io_text_fuzz PRIVATE -fsanitize=fuzzer -fsanitize=address,undefined
                         -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(io_text_fuzz PRIVATE -fsanitize=fuzzer)
  target_link_libraries(io_text_fuzz PRIVATE oru_core)
endif()
