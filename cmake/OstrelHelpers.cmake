# Adds every immediate subdirectory of the current source directory that has a
# CMakeLists.txt, in name order, so that a new module needs no edit here.
function(ostrel_add_subdirectories)
  file(GLOB children LIST_DIRECTORIES true RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}/*")
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/${child}" AND EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt")
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# Test code is compiled without optimisation and with the GoogleTest headers
# precompiled once: most of the build's time goes into test programs, and the
# code under test keeps the build's own optimisation.
function(ostrel_fast_test_compile target)
  target_compile_options(${target} PRIVATE -O0)
  if(NOT TARGET ostrel_test_pch)
    # An executable, so that its precompiled header is built with the same
    # position-independence flags as the test programs that reuse it.
    file(WRITE "${PROJECT_BINARY_DIR}/ostrel_test_pch.cpp" "int main() { return 0; }\n")
    add_executable(ostrel_test_pch "${PROJECT_BINARY_DIR}/ostrel_test_pch.cpp")
    target_link_libraries(ostrel_test_pch PRIVATE GTest::gtest GTest::gmock)
    target_compile_options(ostrel_test_pch PRIVATE -O0)
    target_precompile_headers(ostrel_test_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h>
                              <string> <vector> <memory> <functional> <thread>)
  endif()
  target_precompile_headers(${target} REUSE_FROM ostrel_test_pch)
endfunction()

# ostrel_scale_test_timeouts(<list variable> <seconds>)
# The time limit of the tests named in the list variable (set when CTest
# reads the tests that gtest_discover_tests found) becomes <seconds> times
# $OSTREL_TEST_TIME_SCALE as it is when CTest runs: the limit catches a
# hang, and a slow or busy machine stretches it, as it stretches every wait
# of the test harnesses. Called after gtest_discover_tests, so that CTest
# reads the list first.
function(ostrel_scale_test_timeouts list_var seconds)
  set(OSTREL_SCALED_LIST "${list_var}")
  set(OSTREL_SCALED_SECONDS "${seconds}")
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${list_var}_time_scale.cmake")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/OstrelTestTimeScale.cmake.in" "${script}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()

# ostrel_add_test(<name> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <s>] [LABELS <labels...>])
# One GoogleTest program; each test case becomes a CTest test with a timeout,
# so a hang fails instead of blocking CI.
function(ostrel_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
  ostrel_fast_test_compile(${name})
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props} TEST_LIST ${name}_TESTS)
  ostrel_scale_test_timeouts(${name}_TESTS ${T_TIMEOUT})
  if("tsan" IN_LIST T_LABELS)
    set_property(GLOBAL APPEND PROPERTY OSTREL_TSAN_TARGETS ${name})
  endif()
endfunction()

# Writes the names of the test programs labelled "tsan" into the build tree,
# so that the ThreadSanitizer run builds only those.
function(ostrel_write_tsan_targets)
  get_property(targets GLOBAL PROPERTY OSTREL_TSAN_TARGETS)
  list(JOIN targets "\n" text)
  file(WRITE "${PROJECT_BINARY_DIR}/tsan_targets.txt" "${text}\n")
endfunction()

# ostrel_add_library(<name> SOURCES <files...> [LIBS <targets...>] [PRIVATE_LIBS <targets...>])
# A static library of the project. Every header is included by its path from
# the project root ("platform/qel/qel.h", "runtime/dbtype.h", "lib/...").
function(ostrel_add_library name)
  cmake_parse_arguments(L "" "" "SOURCES;LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PUBLIC ${L_LIBS} Threads::Threads PRIVATE ${L_PRIVATE_LIBS})
endfunction()

# ostrel_add_fuzzer(<name> SOURCES <files...> LIBS <targets...>)
# A libFuzzer target (clang, OSTREL_FUZZ trees only), built and run by
# scripts/fuzz.
function(ostrel_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT OSTREL_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
endfunction()
