kestrilon_fuzz_target(fuzz_reg_file SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/reg_file.cpp
  LIBS kestrilon_platform_registry CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/reg_file)
