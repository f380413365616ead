# The ORUBIN and LZ fuzz targets in an ordinary build: each replays its
# committed corpus (tests/fuzz/corpus/orubin, .../lz) as a ctest, through
# codec_replay.cpp's main. codec_seeds writes those corpora from the
# lexer's (tests/fuzz/codec_seeds.cpp says how).
foreach(target orubin lz)
  add_executable(${target}_replay ${CMAKE_CURRENT_LIST_DIR}/${target}_fuzz.cpp ${CMAKE_CURRENT_LIST_DIR}/codec_replay.cpp)
  target_link_libraries(${target}_replay PRIVATE oru_core)
  add_test(NAME fuzz.${target}_corpus
    COMMAND ${target}_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/${target})
  set_tests_properties(fuzz.${target}_corpus PROPERTIES LABELS fuzz TIMEOUT 300)
endforeach()
add_executable(codec_seeds ${CMAKE_CURRENT_LIST_DIR}/codec_seeds.cpp)
target_link_libraries(codec_seeds PRIVATE oru_core)
