# The ORUBIN decoder's and the LZ codec's fuzz targets in an ordinary build:
# each replays its committed corpus (corpus/orubin, corpus/lz) as a ctest,
# through replay_codecs.cpp's main. codec_seeds writes those corpora from
# the lexer's (codec_seeds.cpp says how).
foreach(target orubin lz)
  add_executable(${target}_replay ${CMAKE_CURRENT_LIST_DIR}/${target}_fuzz.cpp ${CMAKE_CURRENT_LIST_DIR}/replay_codecs.cpp)
  target_link_libraries(${target}_replay PRIVATE oru_core)
  add_test(NAME fuzz_replay.${target} COMMAND ${target}_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/${target})
  set_tests_properties(fuzz_replay.${target} PROPERTIES LABELS fuzz TIMEOUT 300)
endforeach()
add_executable(codec_seeds ${CMAKE_CURRENT_LIST_DIR}/codec_seeds.cpp)
target_link_libraries(codec_seeds PRIVATE oru_core)
