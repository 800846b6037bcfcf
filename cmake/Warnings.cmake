function(tovrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                         -Wold-style-cast -Wcast-align -Wunused -Woverloaded-virtual -Wpedantic
                         -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
  if(TOVREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
