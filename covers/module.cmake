# The album-art services answer in JSON, read with Debian's header-only nlohmann/json
# (nlohmann-json3-dev). The compiler sees only that one folder, through a link in the build tree,
# so the Windows build never picks up the host's other headers; nothing is copied.
set(TOVREL_NLOHMANN_DIR "/usr/include/nlohmann" CACHE PATH "Folder of nlohmann/json's headers")
if(NOT EXISTS "${TOVREL_NLOHMANN_DIR}/json.hpp")
  message(FATAL_ERROR "nlohmann/json not found in ${TOVREL_NLOHMANN_DIR} (install nlohmann-json3-dev)")
endif()
set(tovrel_json_include "${CMAKE_BINARY_DIR}/third_party")
file(MAKE_DIRECTORY "${tovrel_json_include}")
if(NOT EXISTS "${tovrel_json_include}/nlohmann")
  file(CREATE_LINK "${TOVREL_NLOHMANN_DIR}" "${tovrel_json_include}/nlohmann" SYMBOLIC)
endif()
target_include_directories(tovrel_core SYSTEM PRIVATE "${tovrel_json_include}")
