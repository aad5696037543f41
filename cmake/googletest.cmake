# GoogleTest from the sources Debian ships in /usr/src/googletest; they build with both toolchains.
set(QV_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${QV_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# qv_add_test_suite(NAME SOURCES... LIBS ...): one GoogleTest program, one CTest entry.
# Each run writes its results as XML under <build>/test-results so ./test can count the cases.
function(qv_add_test_suite name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main Threads::Threads)
  add_test(NAME ${name}
           COMMAND ${name} --gtest_output=xml:${CMAKE_BINARY_DIR}/test-results/${name}.xml
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()
