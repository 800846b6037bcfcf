# Benchmark programs (built on demand by bench/run.sh, never by default): the web server with
# filled data, and a minimal reference server to measure it against.
if(TOVREL_SANITIZE STREQUAL "")
  add_executable(bench_server EXCLUDE_FROM_ALL "${CMAKE_SOURCE_DIR}/bench/bench_server.cpp")
  target_link_libraries(bench_server PRIVATE tovrel_core)
  tovrel_warnings(bench_server)
  add_executable(bench_reference_server EXCLUDE_FROM_ALL "${CMAKE_SOURCE_DIR}/bench/reference_server.cpp")
  tovrel_warnings(bench_reference_server)
  if(WIN32)
    target_link_libraries(bench_reference_server PRIVATE ws2_32)
  endif()
endif()
