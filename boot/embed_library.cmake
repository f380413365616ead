# Writes OUTPUT: a C++ source holding the text of every module of
# boot/modules.cmake, in its order, for start-up to evaluate.
# Run as: cmake -DSOURCE_DIR=... -DOUTPUT=... -P embed_library.cmake
include(${SOURCE_DIR}/boot/modules.cmake)
set(body "// Generated from boot/modules.cmake and library/*.oru: do not edit.\n")
string(APPEND body "#include \"boot/library.h\"\n\nnamespace oru::boot {\n\n")
string(APPEND body "const LibraryModule library_modules[] = {\n")
set(count 0)
foreach(module ${ORU_LIBRARY_MODULES})
  file(READ ${SOURCE_DIR}/${module} text)
  string(FIND "${text}" ")oru_library\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${module} holds the text delimiter )oru_library\"")
  endif()
  string(APPEND body "    {\"${module}\", R\"oru_library(${text})oru_library\"},\n")
  math(EXPR count "${count} + 1")
endforeach()
string(APPEND body "};\n\nconst int library_module_count = ${count};\n\n}  // namespace oru::boot\n")
# Rewritten only when changed, so that an unchanged library rebuilds nothing.
file(WRITE ${OUTPUT}.new "${body}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
