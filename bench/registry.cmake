# Registry reads and writes against bare SQLite statements on the same database, in one run: prints the
# time ratio (the emulation should add at most 2x).
if(benchmark_FOUND)
  add_executable(bench_registry ${CMAKE_CURRENT_SOURCE_DIR}/registry_bench.cpp)
  target_link_libraries(bench_registry PRIVATE kestrilon_platform_registry kestrilon_platform_machine benchmark::benchmark)
  set_target_properties(bench_registry PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
