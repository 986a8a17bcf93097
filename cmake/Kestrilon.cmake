# Helpers shared by every folder's CMakeLists.txt.

# kestrilon_library(NAME SOURCES a.cpp b.cpp LIBS dep1 dep2)
# A static library whose public include root is src/, so headers are included as "platform/registry/registry.h".
function(kestrilon_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# kestrilon_test(NAME SOURCES a_test.cpp LIBS lib1 [LABELS window] [TIMEOUT 120])
# One GoogleTest binary per folder of related cases, run by CTest as one test.
function(kestrilon_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "KESTRILON_SOURCE_DIR=${CMAKE_SOURCE_DIR};KESTRILON_BINARY_DIR=${CMAKE_BINARY_DIR}")
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# kestrilon_fuzz_target(NAME SOURCES fuzz_x.cpp LIBS lib1 CORPUS dir)
# With KESTRILON_FUZZ (clang): a libFuzzer binary in build-fuzz/bin.
# Otherwise: the same entry point linked with a replay driver and run by CTest over the seed corpus,
# so every seed stays a regression test of the normal and the sanitizer build.
function(kestrilon_fuzz_target name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(KESTRILON_FUZZ)
    set(target ${name})
    add_executable(${target} ${ARG_SOURCES})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  else()
    set(target ${name}_replay)
    add_executable(${target} ${ARG_SOURCES} ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${target} COMMAND ${target} ${ARG_CORPUS})
  endif()
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src)
endfunction()
