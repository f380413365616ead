# oru_image_args(OUT SOURCE_DIR BINARY_DIR [NAME PATH]): the image
# generator's arguments for the lists of boot/modules.cmake (included first),
# each file given as its name and its path; a name under generated/ is in
# the build directory. With NAME and PATH, that file is read from PATH
# instead (the generator's tests give it faulty copies).
function(oru_image_args out source_dir binary_dir)
  set(args)
  foreach(list DEFINES MODULES)
    string(TOLOWER ${list} option)
    list(APPEND args --${option})
    foreach(name ${ORU_LIBRARY_${list}})
      if(ARGC GREATER 4 AND name STREQUAL ARGV3)
        set(path ${ARGV4})
      elseif(name MATCHES "^generated/")
        set(path ${binary_dir}/${name})
      else()
        set(path ${source_dir}/${name})
      endif()
      list(APPEND args ${name} ${path})
    endforeach()
  endforeach()
  set(${out} ${args} PARENT_SCOPE)
endfunction()
