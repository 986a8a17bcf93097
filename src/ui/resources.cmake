# kestrilon_page_bundle(NAME target FOLDER dir HTML file [ICON picture])
# Compiles every file under FOLDER into a GResource bundle linked into whatever links `target`.
# Inside the bundle a file is registered under /kestrilon/res/<relative path in lower case>, so the
# res:// scheme matches folder and file names without regard to case; the HTML page given by HTML
# (relative to FOLDER) is also registered as /kestrilon/res/200, the page's resource id, and the picture
# given by ICON (a PNG, relative to FOLDER) as /kestrilon/res/199, the window's icon.
# The target is an object library: its generated constructor registers the bundle at start-up, which a
# static library would drop because nothing references it.
function(kestrilon_page_bundle name)
  cmake_parse_arguments(ARG "" "FOLDER;HTML;ICON" "" ${ARGN})
  if(NOT ARG_FOLDER OR NOT ARG_HTML)
    message(FATAL_ERROR "kestrilon_page_bundle(${name}): FOLDER and HTML are required")
  endif()
  find_program(KESTRILON_GLIB_COMPILE_RESOURCES glib-compile-resources REQUIRED)
  get_filename_component(folder "${ARG_FOLDER}" ABSOLUTE)
  file(GLOB_RECURSE files RELATIVE "${folder}" CONFIGURE_DEPENDS "${folder}/*")
  list(SORT files)
  set(entries "")
  set(depends "")
  foreach(file IN LISTS files)
    string(TOLOWER "${file}" lower)
    string(APPEND entries "    <file alias=\"${lower}\">${file}</file>\n")
    list(APPEND depends "${folder}/${file}")
  endforeach()
  if(NOT EXISTS "${folder}/${ARG_HTML}")
    message(FATAL_ERROR "kestrilon_page_bundle(${name}): ${ARG_HTML} is not in ${folder}")
  endif()
  string(APPEND entries "    <file alias=\"200\">${ARG_HTML}</file>\n")
  if(ARG_ICON)
    string(APPEND entries "    <file alias=\"199\">${ARG_ICON}</file>\n")
  endif()
  set(xml "${CMAKE_CURRENT_BINARY_DIR}/${name}.gresource.xml")
  file(CONFIGURE OUTPUT "${xml}" CONTENT
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gresources>\n  <gresource prefix=\"/kestrilon/res\">\n${entries}  </gresource>\n</gresources>\n")
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${name}.gresource.c")
  string(MAKE_C_IDENTIFIER "${name}" c_name)
  add_custom_command(OUTPUT "${source}"
    COMMAND ${KESTRILON_GLIB_COMPILE_RESOURCES} --target=${source} --sourcedir=${folder}
            --generate-source --c-name=${c_name} ${xml}
    DEPENDS "${xml}" ${depends}
    COMMENT "Compiling page bundle ${name}")
  pkg_check_modules(KESTRILON_GIO REQUIRED IMPORTED_TARGET gio-2.0)
  add_library(${name} OBJECT "${source}")
  target_link_libraries(${name} PUBLIC PkgConfig::KESTRILON_GIO)
endfunction()
