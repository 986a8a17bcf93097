# Check-all on the demo bank against the page's own waits: cmake --build build --target bench_page
add_custom_target(bench_page
  COMMAND python3 ${CMAKE_SOURCE_DIR}/bench/page_check_all.py --build ${CMAKE_BINARY_DIR}
  USES_TERMINAL
  COMMENT "Check-all on the demo bank, measured against 0.3 s per step")
foreach(target kestrilon-assistant kestrilon-machine)
  if(TARGET ${target})
    add_dependencies(bench_page ${target})
  endif()
endforeach()
