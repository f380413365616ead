# Fuzz targets of the compression codecs (inflate, zlib, gzip, roundtrip).
# Every build replays their seed corpora (corpus/NAME) through an ordinary
# program (replay_codecs.cpp); with ORU_FUZZ under clang they are also built
# as libFuzzer targets NAME_fuzz. zlib is their oracle, linked here only.
find_package(ZLIB REQUIRED)
set(ORU_CODEC_FUZZ_TARGETS inflate zlib gzip roundtrip)
foreach(target ${ORU_CODEC_FUZZ_TARGETS})
  add_executable(${target}_replay ${CMAKE_CURRENT_LIST_DIR}/${target}_fuzz.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/replay_codecs.cpp)
  target_link_libraries(${target}_replay PRIVATE oru_core ZLIB::ZLIB)
  add_test(NAME fuzz_replay.${target} COMMAND ${target}_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/${target})
  set_tests_properties(fuzz_replay.${target} PROPERTIES LABELS fuzz)
endforeach()

if(ORU_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  foreach(target ${ORU_CODEC_FUZZ_TARGETS})
    add_executable(${target}_fuzz ${CMAKE_CURRENT_LIST_DIR}/${target}_fuzz.cpp)
    target_compile_options(${target}_fuzz PRIVATE -fsanitize=fuzzer -fsanitize=address,undefined
                           -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(${target}_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${target}_fuzz PRIVATE oru_core ZLIB::ZLIB)
  endforeach()
endif()
