kestrilon_fuzz_target(fuzz_cert_blob SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/cert_blob.cpp
  LIBS kestrilon_platform_certstore CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/cert_blob)
