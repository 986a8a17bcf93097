# A 200 MB download over loopback by the download agent and by `curl -o`, from the same server in one
# run: prints both throughputs, their ratio and the agent's peak memory.
#   cmake --build build --target bench_download && build/bench/bench_download
if(TARGET kestrilon_net AND TARGET kestrilon_test_support)
  add_executable(bench_download ${CMAKE_CURRENT_SOURCE_DIR}/download_bench.cpp)
  target_include_directories(bench_download PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(bench_download PRIVATE kestrilon_net kestrilon_platform_machine kestrilon_test_support)
  set_target_properties(bench_download PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
