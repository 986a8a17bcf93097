# The window against bare WebKitGTK in one run: start-up to the first completed document (MiniBrowser
# loading the same page from a file) and 1,000 asyncallc round trips (bare script messages).
#   cmake --build build --target bench_window && build/bench/bench_window
if(TARGET kestrilon_ui AND TARGET kestrilon_window_testpage AND TARGET kestrilon_window_desktop)
  add_executable(bench_window ${CMAKE_CURRENT_SOURCE_DIR}/window_bench.cpp)
  target_include_directories(bench_window PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(bench_window PRIVATE kestrilon_ui kestrilon_window_testpage kestrilon_window_desktop
                        kestrilon_test_support)
  target_compile_definitions(bench_window PRIVATE KESTRILON_SOURCE_DIR_DEFAULT="${CMAKE_SOURCE_DIR}"
                             KESTRILON_BINARY_DIR_DEFAULT="${CMAKE_BINARY_DIR}")
  set_target_properties(bench_window PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  add_dependencies(bench_window window_testhost)
endif()
