# zvgm_test: the operator's command, the dissector, and the programs that
# read its output back (jq for the JSON, tshark for the captures).
find_program(ZVGM_TSHARK tshark)
find_program(ZVGM_JQ jq)
target_compile_definitions(${name} PRIVATE
  ZVGM_BIN="$<TARGET_FILE:zvgm_cli>"
  ZVGM_LUA="${CMAKE_SOURCE_DIR}/contrib/zvgm.lua"
  TSHARK_BIN="$<IF:$<BOOL:${ZVGM_TSHARK}>,${ZVGM_TSHARK},/usr/bin/tshark>"
  JQ_BIN="$<IF:$<BOOL:${ZVGM_JQ}>,${ZVGM_JQ},/usr/bin/jq>")
