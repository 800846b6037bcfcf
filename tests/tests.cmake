# Test programs. Every tests/unit/*.cpp goes into unit_tests (AddressSanitizer + UBSan natively,
# and under Wine for Windows); every tests/concurrency/*.cpp into concurrency_tests
# (ThreadSanitizer natively, and under Wine). Files named *_win.cpp / *_posix.cpp follow the
# platform rule of the core.
if(WIN32)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
  set(TOVREL_GTEST gtest gtest_main)
else()
  find_package(GTest REQUIRED)
  set(TOVREL_GTEST GTest::gtest GTest::gtest_main)
endif()

tovrel_sources(test_support_sources tests/support)
add_library(tovrel_test_support STATIC ${test_support_sources})
target_link_libraries(tovrel_test_support PUBLIC tovrel_core ${TOVREL_GTEST})
if(WIN32)
  target_link_libraries(tovrel_test_support PUBLIC ws2_32)
endif()
target_compile_definitions(tovrel_test_support PUBLIC "TOVREL_SOURCE_DIR=\"${CMAKE_SOURCE_DIR}\"")
tovrel_warnings(tovrel_test_support)

set(TOVREL_TEST_ENV "TOVREL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
set(TOVREL_WITH_SIMULATOR python3 "${CMAKE_SOURCE_DIR}/tools/station_simulator/with_simulator.py" --)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(TOVREL_RUNNER ${TOVREL_WITH_SIMULATOR} ${CMAKE_CROSSCOMPILING_EMULATOR})
else()
  set(TOVREL_RUNNER ${TOVREL_WITH_SIMULATOR})
endif()

function(tovrel_test_program name dir)
  tovrel_sources(sources ${dir})
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE tovrel_test_support)
  tovrel_warnings(${name})
  # GoogleTest's macros trip a few of the stricter warnings.
  target_compile_options(${name} PRIVATE -Wno-null-dereference -Wno-old-style-cast)
endfunction()

tovrel_test_program(unit_tests tests/unit)
if(WIN32 AND TARGET unit_tests AND TARGET tovrel-radio)
  # The resource tests read the built program's version information and icon.
  add_dependencies(unit_tests tovrel-radio)
  target_compile_definitions(unit_tests PRIVATE
    "TOVREL_PROGRAM_EXE=\"$<TARGET_FILE:tovrel-radio>\""
    "TOVREL_PROJECT_VERSION_W=L\"${PROJECT_VERSION}\""
    TOVREL_PROJECT_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    TOVREL_PROJECT_VERSION_MINOR=${TOVREL_VERSION_MINOR})
  target_link_libraries(unit_tests PRIVATE version shell32)
endif()
tovrel_test_program(concurrency_tests tests/concurrency)

# Which program runs in which build tree: ThreadSanitizer runs the concurrency tests, the other
# native trees the unit tests, and the Windows tree both under Wine.
if(TARGET unit_tests AND NOT TOVREL_SANITIZE STREQUAL "thread")
  add_test(NAME unit_tests COMMAND ${TOVREL_RUNNER} $<TARGET_FILE:unit_tests> --gtest_brief=1)
  set_tests_properties(unit_tests PROPERTIES ENVIRONMENT "${TOVREL_TEST_ENV}" TIMEOUT 600)
endif()
if(TARGET concurrency_tests AND (WIN32 OR TOVREL_SANITIZE STREQUAL "thread"))
  add_test(NAME concurrency_tests COMMAND ${TOVREL_RUNNER} $<TARGET_FILE:concurrency_tests> --gtest_brief=1)
  set_tests_properties(concurrency_tests PROPERTIES ENVIRONMENT "${TOVREL_TEST_ENV}" TIMEOUT 600)
endif()

# Whole-program tests bring their own registration.
include("${CMAKE_SOURCE_DIR}/tests/system/system.cmake" OPTIONAL)
include("${CMAKE_SOURCE_DIR}/tests/browser/browser.cmake")
