# Fuzz targets of the image decoders (png, jpeg, gif, tiff, bmp: one
# image_fuzz.cpp built per format) and of the URL percent codec. Every
# build replays their seed corpora (corpus/NAME) through replay_main.cpp;
# with ORU_FUZZ under clang they are also built as libFuzzer targets
# NAME_fuzz.
set(ORU_IMAGE_FUZZ_FORMATS bmp=0 png=1 gif=2 jpeg=3 tiff=4)
set(ORU_IMAGE_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
foreach(entry ${ORU_IMAGE_FUZZ_FORMATS})
  string(REPLACE "=" ";" parts ${entry})
  list(GET parts 0 name)
  list(GET parts 1 code)
  set(source ${CMAKE_CURRENT_LIST_DIR}/image_fuzz.cpp)
  add_executable(${name}_replay ${source} ${CMAKE_CURRENT_LIST_DIR}/replay_main.cpp)
  target_compile_definitions(${name}_replay PRIVATE ORU_IMAGE_FORMAT=${code})
  target_link_libraries(${name}_replay PRIVATE oru_core oru_image)
  add_test(NAME fuzz_replay.${name} COMMAND ${name}_replay ${CMAKE_CURRENT_LIST_DIR}/corpus/${name})
  set_tests_properties(fuzz_replay.${name} PROPERTIES LABELS fuzz)
  if(ORU_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_executable(${name}_fuzz ${source})
    target_compile_definitions(${name}_fuzz PRIVATE ORU_IMAGE_FORMAT=${code})
    target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer ${ORU_IMAGE_FUZZ_SANITIZERS})
    target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name}_fuzz PRIVATE oru_core oru_image)
  endif()
endforeach()
