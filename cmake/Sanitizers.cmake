# Sanitizers apply to every target of a build tree, so that the core library, the tests and the
# program agree on instrumentation.
if(TOVREL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
elseif(TOVREL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
elseif(TOVREL_SANITIZE STREQUAL "fuzzer")
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT TOVREL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown TOVREL_SANITIZE value: ${TOVREL_SANITIZE}")
endif()
