# Whole-program tests: the program started in a temporary folder against the station simulator.
if(TARGET tovrel-radio AND NOT WIN32)
  add_test(NAME native_program
           COMMAND ${TOVREL_WITH_SIMULATOR} python3 "${CMAKE_SOURCE_DIR}/tests/system/native_program_test.py"
                   $<TARGET_FILE:tovrel-radio>)
  set_tests_properties(native_program PROPERTIES TIMEOUT 180)
endif()
if(TARGET tovrel-radio AND WIN32)
  # Plays the shell's and the user's part toward the window (the tray icon's events and menu).
  add_executable(tray_poke "${CMAKE_SOURCE_DIR}/tests/system/tray_poke_win.cpp")
  target_include_directories(tray_poke PRIVATE "${CMAKE_SOURCE_DIR}")
  target_link_options(tray_poke PRIVATE -municode)
  tovrel_warnings(tray_poke)
  # Holds the desktop for the whole run (scripts/run-tests.sh starts it beside the wineserver).
  add_executable(desktop_keeper WIN32 "${CMAKE_SOURCE_DIR}/tests/system/desktop_keeper_win.cpp")
  target_link_options(desktop_keeper PRIVATE -municode)
  tovrel_warnings(desktop_keeper)
  # Runs inside the Xvfb display and beside the persistent wineserver of scripts/run-tests.sh.
  add_test(NAME wine_program
           COMMAND ${TOVREL_WITH_SIMULATOR} python3 "${CMAKE_SOURCE_DIR}/tests/system/wine_program_test.py"
                   $<TARGET_FILE:tovrel-radio> "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh"
                   "${CMAKE_BINARY_DIR}/system-artefacts" $<TARGET_FILE:tray_poke>)
  set_tests_properties(wine_program PROPERTIES TIMEOUT 240 ENVIRONMENT "TOVREL_BUILD_DIR=${CMAKE_BINARY_DIR}")
endif()

# The demo station's covers (the simulator alone): once, in the address tree.
if(NOT WIN32 AND TOVREL_SANITIZE STREQUAL "address")
  add_test(NAME demo_covers COMMAND python3 "${CMAKE_SOURCE_DIR}/tests/system/demo_covers_test.py")
  set_tests_properties(demo_covers PROPERTIES TIMEOUT 120)
endif()

# Scenarios shared by both programs (tests/system/program_scenarios_test.py): a hand-edited
# config.json, covers, saves across restarts, bad outside input, kills during saves, /stop
# during start-up, switches during start-up, a flood of channel switches before /stop, the play
# history on disk across a stop and a kill, every channel in /api/nowplaying, its event and the
# history.
set(TOVREL_SCENARIOS config covers saves bad_input kill early_stop early_switch flood history station)
set(TOVREL_SCENARIO_SCRIPT "${CMAKE_SOURCE_DIR}/tests/system/program_scenarios_test.py")
if(TARGET tovrel-radio AND NOT WIN32 AND TOVREL_SANITIZE STREQUAL "address")
  foreach(scenario IN LISTS TOVREL_SCENARIOS)
    add_test(NAME native_program_${scenario}
             COMMAND ${TOVREL_WITH_SIMULATOR} python3 "${TOVREL_SCENARIO_SCRIPT}" ${scenario} native
                     $<TARGET_FILE:tovrel-radio>)
    set_tests_properties(native_program_${scenario} PROPERTIES TIMEOUT 150)
  endforeach()
endif()
if(TARGET tovrel-radio AND WIN32)
  foreach(scenario IN LISTS TOVREL_SCENARIOS)
    add_test(NAME wine_program_${scenario}
             COMMAND ${TOVREL_WITH_SIMULATOR} python3 "${TOVREL_SCENARIO_SCRIPT}" ${scenario} wine
                     $<TARGET_FILE:tovrel-radio> "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh"
                     "${CMAKE_BINARY_DIR}/system-artefacts/scenarios")
    set_tests_properties(wine_program_${scenario} PROPERTIES TIMEOUT 200
                         ENVIRONMENT "TOVREL_BUILD_DIR=${CMAKE_BINARY_DIR}")
  endforeach()
endif()

# A native scenario with a slow disk: a library preloaded into the program whose fsync and
# fdatasync sleep first. Not instrumented: it is loaded ahead of the sanitizer's runtime and
# only sleeps and forwards.
if(TARGET tovrel-radio AND NOT WIN32 AND TOVREL_SANITIZE STREQUAL "address")
  add_library(tovrel_slow_fsync SHARED "${CMAKE_SOURCE_DIR}/tests/support/slow_fsync_preload.c")
  target_compile_options(tovrel_slow_fsync PRIVATE -fno-sanitize=all)
  target_link_options(tovrel_slow_fsync PRIVATE -fno-sanitize=all)
  target_link_libraries(tovrel_slow_fsync PRIVATE ${CMAKE_DL_LIBS})
  add_test(NAME native_program_slow_disk
           COMMAND ${TOVREL_WITH_SIMULATOR} python3 "${TOVREL_SCENARIO_SCRIPT}" slow_disk native
                   $<TARGET_FILE:tovrel-radio>)
  set_tests_properties(native_program_slow_disk PROPERTIES TIMEOUT 150
                       ENVIRONMENT "TOVREL_SLOW_FSYNC_LIB=$<TARGET_FILE:tovrel_slow_fsync>")
endif()
