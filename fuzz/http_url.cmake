kestrilon_fuzz_target(fuzz_http_url SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/http_url.cpp
  LIBS kestrilon_net CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/http_url)
