# The web page lives as a real file, web/page.html; its bytes are compiled into the core library
# with their exact length, regenerated whenever the file changes.
set(tovrel_page_source "${CMAKE_SOURCE_DIR}/web/page.html")
set(tovrel_page_generated "${CMAKE_BINARY_DIR}/generated/web_page_data.cpp")
add_custom_command(
  OUTPUT "${tovrel_page_generated}"
  COMMAND "${CMAKE_COMMAND}" -DINPUT=${tovrel_page_source} -DOUTPUT=${tovrel_page_generated}
          -DFUNCTION=WebPage -DHEADER=web/web_pages.hpp -P "${CMAKE_SOURCE_DIR}/web/embed_file.cmake"
  DEPENDS "${tovrel_page_source}" "${CMAKE_SOURCE_DIR}/web/embed_file.cmake"
  COMMENT "Embedding web/page.html"
  VERBATIM)
target_sources(tovrel_core PRIVATE "${tovrel_page_generated}")
