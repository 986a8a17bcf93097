# The XML reader against pugixml on the same documents, in one run: prints the time ratio.
find_package(pugixml QUIET)
if(benchmark_FOUND AND pugixml_FOUND)
  add_executable(bench_xml ${CMAKE_CURRENT_SOURCE_DIR}/xml_bench.cpp)
  target_link_libraries(bench_xml PRIVATE kestrilon_config_document benchmark::benchmark pugixml::pugixml)
  set_target_properties(bench_xml PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
