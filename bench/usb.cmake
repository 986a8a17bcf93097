# One key presence check on a tree of 64 devices behind nested hubs, against reading the same ids with
# a find/cat walk, in one run: prints both times and their ratio.
#   cmake --build build --target bench_usb && build/bench/bench_usb
if(benchmark_FOUND AND TARGET kestrilon_usbkey_test_support)
  add_executable(bench_usb ${CMAKE_CURRENT_SOURCE_DIR}/usb_bench.cpp)
  target_link_libraries(bench_usb PRIVATE kestrilon_usbkey kestrilon_usbkey_test_support benchmark::benchmark)
  set_target_properties(bench_usb PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
