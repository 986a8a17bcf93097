# kestrilon-shell input lines: the JSON decoder of script values and the command bridge behind it.
kestrilon_fuzz_target(shell_line
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/shell_line.cpp
  LIBS kestrilon_shell_session kestrilon_platform_machine
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/shell_line)
