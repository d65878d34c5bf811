# Helpers that keep each module's CMakeLists to a list of names.
#
# morvane_test(NAME SOURCES... LIBS ...): a GoogleTest binary registered with ctest.
# morvane_fuzz(NAME SOURCE CORPUS DIR LIBS ...): a libFuzzer target in fuzz builds; in ordinary builds
#   the same source is linked with a small driver that replays the seed corpus, so every test run
#   exercises the fuzz entry point on the seeds.

if(MORVANE_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

function(morvane_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT MORVANE_TESTS OR MORVANE_FUZZ)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  # Tests that read shipped files (dist/) find them here.
  target_compile_definitions(${name} PRIVATE MORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # One ctest entry per test case, listed when ctest runs (not at build time, so sanitizer
  # builds do not run every binary twice).
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30 PROPERTIES LABELS ${name})
endfunction()

function(morvane_fuzz name)
  cmake_parse_arguments(F "" "SOURCE;CORPUS" "LIBS" ${ARGN})
  if(MORVANE_FUZZ)
    add_executable(${name} ${F_SOURCE})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_compile_definitions(${name} PRIVATE MORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    set_property(GLOBAL APPEND PROPERTY MORVANE_FUZZERS "${name}=${F_CORPUS}")
  elseif(MORVANE_TESTS)
    add_executable(${name}_replay ${F_SOURCE} ${PROJECT_SOURCE_DIR}/src/common/FuzzReplayMain.cpp)
    target_link_libraries(${name}_replay PRIVATE ${F_LIBS})
    target_compile_definitions(${name}_replay PRIVATE MORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    add_test(NAME ${name}_replay COMMAND ${name}_replay ${F_CORPUS})
  endif()
endfunction()
