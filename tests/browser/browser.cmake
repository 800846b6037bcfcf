# The web page in a real browser: headless Chromium driven by playwright-core against the native
# program (AddressSanitizer tree). Screenshots are kept under artefacts/browser.
if(NOT WIN32 AND TOVREL_SANITIZE STREQUAL "address" AND TARGET tovrel-radio)
  add_test(NAME browser_page
           COMMAND ${TOVREL_WITH_SIMULATOR} python3 "${CMAKE_SOURCE_DIR}/tests/browser/run_browser_test.py"
                   $<TARGET_FILE:tovrel-radio> "${CMAKE_BINARY_DIR}/artefacts/browser")
  set_tests_properties(browser_page PROPERTIES TIMEOUT 600)
endif()
