# Build helpers shared by every folder.

# tessel_sources(VAR DIR): the .cc files directly in DIR.
function(tessel_sources var dir)
  file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cc)
  set(${var} ${found} PARENT_SCOPE)
endfunction()

# tessel_test(NAME DIR dir LIBS libs... [THREADED]): one test program made of every *_test.cc
# in DIR (plus the other .cc files there, which are test helpers), registered with CTest.
# THREADED tests also run under ThreadSanitizer.
function(tessel_test name)
  cmake_parse_arguments(T "THREADED" "DIR" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${T_DIR}/*.cc)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  if(TESSEL_PCH)
    # Every test file includes the framework; parsing it once per program saves most of a
    # from-scratch build's time.
    target_precompile_headers(${name} PRIVATE <gtest/gtest.h> <string> <vector> <thread> <chrono>)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set(labels unit)
  if(T_THREADED)
    list(APPEND labels threaded)
    add_dependencies(tessel_threaded_tests ${name})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 600)
endfunction()

# tessel_library(NAME DIR dir DEPS deps...): a static library of the .cc files in DIR; while the
# folder has no sources yet it is an interface library, so the tree configures at every step.
function(tessel_library name)
  cmake_parse_arguments(L "" "DIR" "DEPS" ${ARGN})
  tessel_sources(srcs ${L_DIR})
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_link_libraries(${name} PUBLIC ${L_DEPS})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${L_DEPS})
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR}/src)
  endif()
endfunction()
