# The ABI of LIB (types and symbols, from its debug information) against the
# committed baseline BASELINE.
#   MODE=check   fails when abidiff finds any change
#   MODE=update  rewrites BASELINE (a deliberate ABI change)
# Paths into SOURCE_DIR (absolute, or relative to the build tree) are cut from the description so that it does not
# depend on where the tree is checked out.
cmake_minimum_required(VERSION 3.25)
foreach(v ABIDW ABIDIFF LIB BASELINE SOURCE_DIR WORK MODE)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "${v} is not set")
  endif()
endforeach()

get_filename_component(name ${LIB} NAME)
set(current ${WORK}/${name}.abi)
execute_process(COMMAND ${ABIDW} --no-corpus-path --no-comp-dir-path --no-show-locs
                        --type-id-style hash --out-file ${current}.raw ${LIB}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "abidw ${LIB} failed (${rc})")
endif()
file(READ ${current}.raw text)
string(REPLACE "path='${SOURCE_DIR}/" "path='" text "${text}")
# ccache with CCACHE_BASEDIR compiles with paths relative to the build tree.
string(REGEX REPLACE "path='(\\.\\./)+" "path='" text "${text}")
file(WRITE ${current} "${text}")
file(REMOVE ${current}.raw)

if(MODE STREQUAL "update")
  get_filename_component(dir ${BASELINE} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  file(COPY_FILE ${current} ${BASELINE})
  message(STATUS "baseline written: ${BASELINE}")
  return()
endif()

if(NOT EXISTS ${BASELINE})
  message(FATAL_ERROR "no baseline ${BASELINE}: see abi/README.md")
endif()
execute_process(COMMAND ${ABIDIFF} --no-show-locs ${BASELINE} ${current} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the ABI of ${name} differs from ${BASELINE} (abidiff status ${rc}); "
                      "if the change is deliberate, update the baseline as abi/README.md says")
endif()
message(STATUS "${name}: same ABI as ${BASELINE}")
