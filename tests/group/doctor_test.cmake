# doctor_test: zvgm doctor and serve with the programs that read them (jq,
# Prometheus, headless Chromium, curl), found as for zvgm_test.
include(${CMAKE_CURRENT_LIST_DIR}/zvgm_test.cmake)
