# The example systemd unit, verified against the native program.
if(TOVREL_BUILD_TESTS AND TARGET tovrel-radio AND NOT WIN32 AND TOVREL_SANITIZE STREQUAL "address")
  add_test(NAME deploy_systemd_unit
           COMMAND python3 "${CMAKE_SOURCE_DIR}/deploy/deploy_test.py" "${CMAKE_SOURCE_DIR}/deploy/tovrel-radio.service"
                   $<TARGET_FILE:tovrel-radio>)
  set_tests_properties(deploy_systemd_unit PROPERTIES TIMEOUT 60 SKIP_RETURN_CODE 77)
endif()

# The example nginx site in front of the native program, on loopback.
if(TOVREL_BUILD_TESTS AND TARGET tovrel-radio AND NOT WIN32 AND TOVREL_SANITIZE STREQUAL "address")
  add_test(NAME deploy_nginx_site
           COMMAND ${TOVREL_WITH_SIMULATOR} python3 "${CMAKE_SOURCE_DIR}/deploy/nginx/nginx_test.py"
                   "${CMAKE_SOURCE_DIR}/deploy/nginx/tovrel-radio.conf" $<TARGET_FILE:tovrel-radio>)
  set_tests_properties(deploy_nginx_site PROPERTIES TIMEOUT 90 SKIP_RETURN_CODE 77)
endif()
