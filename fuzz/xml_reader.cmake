kestrilon_fuzz_target(fuzz_xml_reader SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/xml_reader.cpp
  LIBS kestrilon_config_document CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/xml_reader)
