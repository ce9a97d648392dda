# zvgm_test: the operator's command, the dissector and serve, with the
# programs that read them (jq, tshark, Prometheus and its promtool, headless
# Chromium, curl), each run in the observer's namespace or on a file.
foreach(p tshark jq prometheus promtool chromium curl)
  string(TOUPPER ${p} P)
  find_program(ZVGM_${P} ${p})
  if(NOT ZVGM_${P})
    set(ZVGM_${P} /usr/bin/${p})
  endif()
endforeach()
target_compile_definitions(${name} PRIVATE
  ZVGM_BIN="$<TARGET_FILE:zvgm_cli>" ZVGM_LUA="${CMAKE_SOURCE_DIR}/contrib/zvgm.lua"
  ZVGM_RULES="${CMAKE_SOURCE_DIR}/contrib/prometheus/zvgm-rules.yml"
  TSHARK_BIN="${ZVGM_TSHARK}" JQ_BIN="${ZVGM_JQ}" PROMETHEUS_BIN="${ZVGM_PROMETHEUS}"
  PROMTOOL_BIN="${ZVGM_PROMTOOL}" CHROMIUM_BIN="${ZVGM_CHROMIUM}" CURL_BIN="${ZVGM_CURL}")
