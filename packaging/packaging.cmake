# The Windows tree lays out what is shipped (packaging/stage: the stripped program, README,
# example config.json, licence notices) and builds the per-user installer from it with NSIS;
# the installer's round trip under Wine is one of the tree's tests. `make dist` packs the rest.
find_program(TOVREL_MAKENSIS makensis)
find_package(Python3 COMPONENTS Interpreter)
if(WIN32 AND TARGET tovrel-radio AND CMAKE_HOST_UNIX AND TOVREL_MAKENSIS AND Python3_FOUND
   AND NOT TOVREL_SANITIZE STREQUAL "fuzzer")
  set(tovrel_stage "${CMAKE_BINARY_DIR}/packaging/stage")
  set(tovrel_stage_stamp "${CMAKE_BINARY_DIR}/packaging/stage.stamp")
  set(tovrel_setup "${CMAKE_BINARY_DIR}/packaging/tovrel-radio-${PROJECT_VERSION}-setup.exe")
  add_custom_command(
    OUTPUT "${tovrel_stage_stamp}"
    COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/packaging/package.py" stage windows
            --exe "$<TARGET_FILE:tovrel-radio>" --strip "${CMAKE_STRIP}" --source "${CMAKE_SOURCE_DIR}"
            --station-host "${TOVREL_STATION_HOST}" --out "${tovrel_stage}"
    COMMAND "${CMAKE_COMMAND}" -E touch "${tovrel_stage_stamp}"
    DEPENDS tovrel-radio "${CMAKE_SOURCE_DIR}/packaging/package.py" "${CMAKE_SOURCE_DIR}/README.md"
            "${CMAKE_SOURCE_DIR}/tests/data/config_default.json"
    COMMENT "Laying out the Windows package"
    VERBATIM)
  add_custom_command(
    OUTPUT "${tovrel_setup}"
    COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/packaging/package.py" installer
            --makensis "${TOVREL_MAKENSIS}" --source "${CMAKE_SOURCE_DIR}" --stage "${tovrel_stage}"
            --version "${PROJECT_VERSION}" --out "${tovrel_setup}"
    DEPENDS "${tovrel_stage_stamp}" "${CMAKE_SOURCE_DIR}/packaging/installer.nsi"
            "${CMAKE_SOURCE_DIR}/app/win32/tovrel_radio.ico"
    COMMENT "Building the Windows installer"
    VERBATIM)
  add_custom_target(installer ALL DEPENDS "${tovrel_setup}")

  if(TOVREL_BUILD_TESTS)
    # Runs inside the Xvfb display and beside the persistent wineserver of scripts/run-tests.sh.
    add_test(NAME installer_round_trip
             COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/packaging/installer_test.py" "${tovrel_setup}"
                     "${CMAKE_SOURCE_DIR}/scripts/wine-env.sh")
    set_tests_properties(installer_round_trip PROPERTIES TIMEOUT 120
                         ENVIRONMENT "TOVREL_BUILD_DIR=${CMAKE_BINARY_DIR}")
    # What `make dist` packs, packed twice from the built programs (a native program stands in
    # for the Linux build), and the .exe linked a second time: the same bytes each time.
    add_test(NAME dist_reproducible
             COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/packaging/reproducible_test.py"
                     --build "${CMAKE_BINARY_DIR}" --ninja "${CMAKE_MAKE_PROGRAM}" --source "${CMAKE_SOURCE_DIR}"
                     --exe "$<TARGET_FILE:tovrel-radio>" --strip "${CMAKE_STRIP}" --makensis "${TOVREL_MAKENSIS}"
                     --version "${PROJECT_VERSION}" --station-host "${TOVREL_STATION_HOST}")
    set_tests_properties(dist_reproducible PROPERTIES TIMEOUT 120)
  endif()
endif()
