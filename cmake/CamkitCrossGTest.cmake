# GoogleTest for a cross build: Debian ships it only as source for other
# architectures, so it is compiled here for the target and offered to
# find_package(GTest) under the usual GTest:: names.
set(CAMKIT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# Third-party code: not held to this project's warning flags.
get_directory_property(_camkit_opts COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
add_subdirectory(${CAMKIT_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_camkit_opts}")
unset(_camkit_opts)

foreach(_t gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${_t})
    add_library(GTest::${_t} ALIAS ${_t})
  endif()
endforeach()

set(_camkit_gtest_cfg ${CMAKE_BINARY_DIR}/_deps/gtest-config)
file(WRITE ${_camkit_gtest_cfg}/GTestConfig.cmake "# Targets come from the cross-built sources.\n")
set(GTest_DIR ${_camkit_gtest_cfg} CACHE PATH "" FORCE)
unset(_camkit_gtest_cfg)
