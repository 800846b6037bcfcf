# libFuzzer targets: every fuzz/*_fuzz.cpp is one target. ctest runs each for
# TOVREL_FUZZ_SECONDS from its seed folder fuzz/corpus/<name>/ (when present); `make fuzz`
# runs them longer.
set(TOVREL_FUZZ_SECONDS 5 CACHE STRING "Seconds each fuzz target runs under ctest")
enable_testing()
file(GLOB fuzz_sources CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/fuzz/*_fuzz.cpp")
foreach(src IN LISTS fuzz_sources)
  get_filename_component(name "${src}" NAME_WE)
  add_executable(${name} "${src}")
  target_link_libraries(${name} PRIVATE tovrel_core)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  tovrel_warnings(${name})
  set(work "${CMAKE_BINARY_DIR}/fuzz-corpus/${name}")
  file(MAKE_DIRECTORY "${work}")
  set(seeds "${CMAKE_SOURCE_DIR}/fuzz/corpus/${name}")
  set(corpus "${work}")
  if(EXISTS "${seeds}")
    list(APPEND corpus "${seeds}")
  endif()
  add_test(NAME ${name} COMMAND $<TARGET_FILE:${name}> -max_total_time=${TOVREL_FUZZ_SECONDS}
           -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 ${corpus})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endforeach()
