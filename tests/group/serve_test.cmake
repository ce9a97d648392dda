# serve_test: zvgm serve with the programs that read it: Prometheus and its
# promtool, headless Chromium, curl and jq, each run in the observer's
# namespace.
foreach(p prometheus promtool chromium curl jq)
  string(TOUPPER ${p} P)
  find_program(ZVGM_${P} ${p})
  if(NOT ZVGM_${P})
    set(ZVGM_${P} /usr/bin/${p})
  endif()
endforeach()
target_compile_definitions(${name} PRIVATE
  ZVGM_BIN="$<TARGET_FILE:zvgm_cli>"
  ZVGM_RULES="${CMAKE_SOURCE_DIR}/contrib/prometheus/zvgm-rules.yml"
  PROMETHEUS_BIN="${ZVGM_PROMETHEUS}" PROMTOOL_BIN="${ZVGM_PROMTOOL}"
  CHROMIUM_BIN="${ZVGM_CHROMIUM}" CURL_BIN="${ZVGM_CURL}" JQ_BIN="${ZVGM_JQ}")
