kestrilon_fuzz_target(fuzz_config_parse SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/config_parse.cpp
  LIBS kestrilon_config_document CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/config_parse)
