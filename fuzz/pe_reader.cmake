kestrilon_fuzz_target(fuzz_pe_reader SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/pe_reader.cpp
  LIBS kestrilon_platform_pe CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/pe_reader)
