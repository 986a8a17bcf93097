kestrilon_fuzz_target(fuzz_command_line SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/command_line.cpp
  LIBS kestrilon_platform_process CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/command_line)
