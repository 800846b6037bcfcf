# Whole-program tests: the program started in a temporary folder against the station simulator.
if(TARGET tovrel-radio AND NOT WIN32)
  add_test(NAME native_program
           COMMAND ${TOVREL_WITH_SIMULATOR} python3 "${CMAKE_SOURCE_DIR}/tests/system/native_program_test.py"
                   $<TARGET_FILE:tovrel-radio>)
  set_tests_properties(native_program PROPERTIES TIMEOUT 180)
endif()
