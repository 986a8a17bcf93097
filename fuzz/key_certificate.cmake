kestrilon_fuzz_target(fuzz_key_certificate SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/key_certificate.cpp
  LIBS kestrilon_usbkey CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/key_certificate)
