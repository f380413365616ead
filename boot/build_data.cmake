# Writes OUTPUT: the library module of this build's values, which the boot
# image holds. The date is the commit's, not the build's, so that the same
# source gives the same image.
# Run as: cmake -DSOURCE_DIR=... -DOUTPUT=... -DCOMPILER=... -DCONFIG=... -P build_data.cmake
function(git_value out)
  execute_process(COMMAND git ${ARGN} WORKING_DIRECTORY ${SOURCE_DIR}
                  OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(value "")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

git_value(commit rev-parse HEAD)
git_value(branch rev-parse --abbrev-ref HEAD)
git_value(epoch log -1 --format=%ct)
if(epoch STREQUAL "")
  set(epoch 0)
endif()
set(ENV{SOURCE_DATE_EPOCH} ${epoch})
string(TIMESTAMP date "%d-%b-%Y/%H:%M:%S" UTC)

set(body "Oru [
    Title: \"Build data\"
    Purpose: \"The values of this build, written by the build system\"
]

build-data: make object! [
    commit: \"${commit}\"
    branch: \"${branch}\"
    date: ${date}
    compiler: \"${COMPILER}\"
    config: \"${CONFIG}\"
]
")
# Rewritten only when changed, so that an unchanged build rebuilds nothing.
file(WRITE ${OUTPUT}.new "${body}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
